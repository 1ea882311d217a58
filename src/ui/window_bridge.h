// Carries calls from any thread to the window's thread and waits for them, as the window's own
// controls must only be touched there. The bridge outlives the window: once the window is gone
// it is closed, and every call returns at once without touching anything.
#pragma once

#include <QObject>
#include <deque>
#include <functional>
#include <mutex>
#include <semaphore>
#include <thread>

namespace ostrevan {

class WindowBridge {
 public:
  // Calls are carried out on the thread that owns context.
  explicit WindowBridge(QObject* context);

  // Runs the call on the window's thread and waits for it; on that thread itself it runs
  // directly. False when the bridge is closed and the call did not run.
  bool Call(const std::function<void()>& call);
  // From now on calls return at once; callers still waiting are let go.
  void Close();
  bool IsClosed();

 private:
  struct Request {
    const std::function<void()>* call;
    bool ran = false;
    std::binary_semaphore done{0};
  };
  void Drain();

  QObject* context_;
  std::thread::id window_thread_;
  std::mutex mutex_;
  std::deque<Request*> queue_;
  bool closed_ = false;
};

}  // namespace ostrevan
