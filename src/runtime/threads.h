// Threads, the lock registry, the message boxes, and the start and end of the runtime.
#pragma once

#include <cstdint>
#include <functional>

#include "runtime/text.h"

namespace ostrevan {

using ThreadRoutine = void (*)(std::int32_t argument);
using ThreadId = std::uint64_t;

// Starts a detached thread with a small stack; false when the system refuses one. The id, when
// asked for, is nonzero for a started thread and 0 otherwise.
bool StartWorker(ThreadRoutine routine, std::int32_t argument = 0, ThreadId* id = nullptr);
bool StartWorker(std::function<void()> routine, ThreadId* id = nullptr);

using LockId = std::uintptr_t;
LockId CreateLock();
// Both do nothing for 0 or for an identifier that is not registered.
void EnterLock(LockId lock);
void LeaveLock(LockId lock);
// Empties the registry at the end of the program; former identifiers then do nothing.
void DestroyLocks();

enum class BoxIcon { Information, Error };
// Shows a box and returns when the user has closed it.
using MessagePresenter = void (*)(const Text& caption, const Text& message, BoxIcon icon);
// The window layer installs the real boxes; until then messages go to stderr.
void SetMessagePresenter(MessagePresenter presenter);
void ShowMessage(const Text& caption, const Text& message, BoxIcon icon);
// An information box with an empty title.
void ShowInfo(const Text& message);

// Raises the soft open-file limit to the hard one: a batch holds thousands of transfers at once.
void RaiseOpenFileLimit();
// The soft open-file limit in force; LONG_MAX when unlimited, -1 when it cannot be read.
long OpenFileLimit();

// Runs the start of the runtime: the open-file limit, the executable's folder.
void InitRuntimeServices();
// Closes what the runtime holds: open files and locks.
void ShutdownRuntimeServices();

// The end-of-program clean-up: registered at start, run at most once, and withdrawn by a fatal
// error so that it never runs after one.
using Cleanup = void (*)();
void RegisterEndOfProgramCleanup(Cleanup cleanup);
void RunEndOfProgramCleanup();
void WithdrawEndOfProgramCleanup();

}  // namespace ostrevan
