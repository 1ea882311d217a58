#include "ui/window_bridge.h"

#include <QMetaObject>

namespace ostrevan {

WindowBridge::WindowBridge(QObject* context)
    : context_(context), window_thread_(std::this_thread::get_id()) {}

bool WindowBridge::Call(const std::function<void()>& call) {
  if (std::this_thread::get_id() == window_thread_) {
    if (IsClosed()) {
      return false;
    }
    call();
    return true;
  }
  Request request{&call};
  {
    std::lock_guard guard(mutex_);
    if (closed_) {
      return false;
    }
    queue_.push_back(&request);
    // One wake-up of the window's thread serves every request queued until it runs: thousands
    // of workers reporting at once cost a few wake-ups, not one each.
    if (queue_.size() == 1) {
      QMetaObject::invokeMethod(
          context_, [this] { Drain(); }, Qt::QueuedConnection);
    }
  }
  request.done.acquire();
  return request.ran;
}

void WindowBridge::Drain() {
  std::deque<Request*> batch;
  {
    std::lock_guard guard(mutex_);
    batch.swap(queue_);
  }
  for (Request* request : batch) {
    if (!IsClosed()) {
      (*request->call)();
      request->ran = true;
    }
    request->done.release();
  }
}

void WindowBridge::Close() {
  std::deque<Request*> waiting;
  {
    std::lock_guard guard(mutex_);
    closed_ = true;
    waiting.swap(queue_);
  }
  for (Request* request : waiting) {
    request->done.release();
  }
}

bool WindowBridge::IsClosed() {
  std::lock_guard guard(mutex_);
  return closed_;
}

}  // namespace ostrevan
