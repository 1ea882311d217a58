#include "runtime/threads.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <memory>
#include <mutex>

#include "runtime/files.h"

namespace ostrevan {
namespace {

// A worker does one transfer and a few small texts; the default 8 MiB stack would only cost
// address space and the time to map it, thousands of times per batch.
constexpr std::size_t kWorkerStackBytes = 256 * 1024;

void* RunRoutine(void* raw) {
  std::unique_ptr<std::function<void()>> routine(static_cast<std::function<void()>*>(raw));
  (*routine)();
  return nullptr;
}

struct LockEntry {
  std::mutex mutex;
  LockEntry* next = nullptr;
  std::atomic<bool> live{true};
};

// The registry only grows while the tool runs, so readers walk it without a lock: an entry is
// fully built before the head points at it, and entries are never freed (a worker may still
// hold a former identifier when the program ends).
std::atomic<LockEntry*> g_locks{nullptr};

LockEntry* FindLock(LockId lock) {
  if (lock == 0) {
    return nullptr;
  }
  for (LockEntry* entry = g_locks.load(std::memory_order_acquire); entry != nullptr;
       entry = entry->next) {
    if (reinterpret_cast<LockId>(entry) == lock) {
      return entry->live.load(std::memory_order_acquire) ? entry : nullptr;
    }
  }
  return nullptr;
}

void PrintMessage(const Text& caption, const Text& message, BoxIcon) {
  std::fprintf(stderr, "%s%s%s\n", caption.c_str(), caption.empty() ? "" : ": ", message.c_str());
}

std::atomic<MessagePresenter> g_presenter{&PrintMessage};

std::atomic<Cleanup> g_cleanup{nullptr};

}  // namespace

bool StartWorker(std::function<void()> routine, ThreadId* id) {
  if (id != nullptr) {
    *id = 0;
  }
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    return false;
  }
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attributes, kWorkerStackBytes);
  auto* owned = new std::function<void()>(std::move(routine));
  pthread_t thread;
  int failed = pthread_create(&thread, &attributes, RunRoutine, owned);
  pthread_attr_destroy(&attributes);
  if (failed != 0) {
    delete owned;
    return false;
  }
  if (id != nullptr) {
    *id = static_cast<ThreadId>(thread);
  }
  return true;
}

bool StartWorker(ThreadRoutine routine, std::int32_t argument, ThreadId* id) {
  return StartWorker(std::function<void()>([routine, argument] { routine(argument); }), id);
}

LockId CreateLock() {
  auto* entry = new LockEntry;
  entry->next = g_locks.load(std::memory_order_relaxed);
  while (!g_locks.compare_exchange_weak(entry->next, entry, std::memory_order_release,
                                        std::memory_order_relaxed)) {
  }
  return reinterpret_cast<LockId>(entry);
}

void EnterLock(LockId lock) {
  if (LockEntry* entry = FindLock(lock)) {
    entry->mutex.lock();
  }
}

void LeaveLock(LockId lock) {
  if (LockEntry* entry = FindLock(lock)) {
    entry->mutex.unlock();
  }
}

void DestroyLocks() {
  for (LockEntry* entry = g_locks.load(std::memory_order_acquire); entry != nullptr;
       entry = entry->next) {
    entry->live.store(false, std::memory_order_release);
  }
}

void SetMessagePresenter(MessagePresenter presenter) {
  g_presenter = presenter != nullptr ? presenter : &PrintMessage;
}

void ShowMessage(const Text& caption, const Text& message, BoxIcon icon) {
  g_presenter.load()(caption, message, icon);
}

void ShowInfo(const Text& message) {
  ShowMessage(Text(), message, BoxIcon::Information);
}

void RaiseOpenFileLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

long OpenFileLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return -1;
  }
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > LONG_MAX) {
    return LONG_MAX;
  }
  return static_cast<long>(limit.rlim_cur);
}

void InitRuntimeServices() {
  RaiseOpenFileLimit();
  InitRunDirectory();
}

void ShutdownRuntimeServices() {
  CloseAllFiles();
  DestroyLocks();
}

void RegisterEndOfProgramCleanup(Cleanup cleanup) {
  g_cleanup = cleanup;
}

void RunEndOfProgramCleanup() {
  if (Cleanup cleanup = g_cleanup.exchange(nullptr)) {
    cleanup();
  }
}

void WithdrawEndOfProgramCleanup() {
  g_cleanup = nullptr;
}

}  // namespace ostrevan
