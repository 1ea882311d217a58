#include "memory_window.h"

namespace ostrevan {

MemoryWindow::MemoryWindow() : thread_([this] { Serve(); }) {}

MemoryWindow::~MemoryWindow() {
  {
    std::lock_guard guard(queue_mutex_);
    stopping_ = true;
  }
  queue_ready_.notify_one();
  thread_.join();
}

void MemoryWindow::Call(const std::function<void()>& call) {
  if (std::this_thread::get_id() == thread_.get_id()) {
    call();
    return;
  }
  Request request{&call};
  {
    std::lock_guard guard(queue_mutex_);
    queue_.push_back(&request);
  }
  queue_ready_.notify_one();
  request.done.acquire();
}

void MemoryWindow::Serve() {
  std::deque<Request*> batch;
  for (;;) {
    {
      std::unique_lock lock(queue_mutex_);
      queue_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) {
        return;
      }
      batch.swap(queue_);
    }
    // Every request waiting now is served in this one wake-up, as a busy window thread would.
    for (Request* request : batch) {
      (*request->call)();
      ++round_trips_;
      request->done.release();
    }
    batch.clear();
  }
}

RowId MemoryWindow::InsertRows(const std::vector<Cells>& rows) {
  RowId first = kNoRow;
  Call([&] {
    first = ids_.Append(static_cast<int>(rows.size()));
    for (const Cells& cells : rows) {
      MemoryRow& row = rows_.emplace_back();
      for (const Cell& cell : cells) {
        row[static_cast<std::size_t>(cell.column)] = cell.text;
      }
    }
  });
  return first;
}

void MemoryWindow::SetCells(RowId row, const Cells& cells) {
  Call([&] {
    int position = ids_.PositionOf(row);
    if (position < 0) {
      return;
    }
    for (const Cell& cell : cells) {
      if (cell.column >= 0 && cell.column < kColumnCount) {
        rows_[static_cast<std::size_t>(position)][static_cast<std::size_t>(cell.column)] =
            cell.text;
      }
    }
  });
}

void MemoryWindow::ClearRows() {
  Call([&] {
    rows_.clear();
    ids_.Clear();
  });
}

int MemoryWindow::ReadChecked(ModeBox box) {
  int checked = 0;
  Call([&] { checked = (box == ModeBox::Nickname ? nickname_checked_ : avatar_checked_) ? 1 : 0; });
  return checked;
}

Text MemoryWindow::ReadInputText() {
  Text text;
  Call([&] { text = input_text_; });
  return text;
}

void MemoryWindow::SetChecked(ModeBox box, bool checked) {
  Call([&] { (box == ModeBox::Nickname ? nickname_checked_ : avatar_checked_) = checked; });
}

void MemoryWindow::SetInputText(const Text& text) {
  Call([&] { input_text_ = text; });
}

std::vector<MemoryRow> MemoryWindow::Rows() {
  std::vector<MemoryRow> copy;
  Call([&] { copy = rows_; });
  return copy;
}

}  // namespace ostrevan
