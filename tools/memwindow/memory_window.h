// A window without a display, for the engine's tests and the benchmark: the results list lives
// in memory and is served by a thread of its own, with the same blocking round trip as the real
// window's thread, so that deadlocks and races show as they would there.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <semaphore>
#include <thread>
#include <vector>

#include "engine/results_table.h"

namespace ostrevan {

using MemoryRow = std::array<Text, kColumnCount>;

class MemoryWindow : public WindowPort {
 public:
  MemoryWindow();
  ~MemoryWindow() override;
  MemoryWindow(const MemoryWindow&) = delete;
  MemoryWindow& operator=(const MemoryWindow&) = delete;

  RowId InsertRows(const std::vector<Cells>& rows) override;
  void SetCells(RowId row, const Cells& cells) override;
  void ClearRows() override;
  int ReadChecked(ModeBox box) override;
  Text ReadInputText() override;

  void SetChecked(ModeBox box, bool checked);
  void SetInputText(const Text& text);
  std::vector<MemoryRow> Rows();
  // Requests served by the window thread so far.
  long long RoundTrips() const { return round_trips_; }

  // Runs the call on the window thread and waits for it; on the window thread itself it runs
  // directly.
  void Call(const std::function<void()>& call);

 private:
  struct Request {
    const std::function<void()>* call;
    std::binary_semaphore done{0};
  };
  void Serve();

  std::mutex queue_mutex_;
  std::condition_variable queue_ready_;
  std::deque<Request*> queue_;
  bool stopping_ = false;
  std::atomic<long long> round_trips_{0};

  // Touched on the window thread only.
  std::vector<MemoryRow> rows_;
  RowIds ids_;
  bool nickname_checked_ = false;
  bool avatar_checked_ = false;
  Text input_text_;

  std::thread thread_;
};

}  // namespace ostrevan
