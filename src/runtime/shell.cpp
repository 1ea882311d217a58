// Requests to the desktop: open a file with its application, show a folder.
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "runtime/files.h"
#include "runtime/threads.h"

namespace ostrevan {
namespace {

void ReapChild(pid_t child) {
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// posix_spawn rather than fork: this process has many threads, and a forked copy of it may only
// call what is safe after fork. A small thread waits for the child so that none is left behind
// as a zombie, without holding up the caller.
void SpawnDetached(const char* program, const Text& argument) {
  posix_spawnattr_t attributes;
  if (posix_spawnattr_init(&attributes) != 0) {
    return;
  }
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) {
    posix_spawnattr_destroy(&attributes);
    return;
  }
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  // The started application may outlive the tool; it must not hold our transfers' sockets or
  // half-written files open.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  std::string program_name(program);
  std::string argument_copy(argument);
  char* argv[] = {program_name.data(), argument_copy.data(), nullptr};
  pid_t child = 0;
  int failed = posix_spawnp(&child, program, &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) {
    return;
  }
  if (!StartWorker([child] { ReapChild(child); })) {
    ReapChild(child);
  }
}

// xdg-open shows a folder in the file manager and opens a file with its application, so both
// verbs come to the same request.
void DesktopOpen(ShellVerb, const Text& target) {
  SpawnDetached("xdg-open", target);
}

std::atomic<ShellHandler> g_shell_handler{&DesktopOpen};

}  // namespace

void ShellRun(ShellVerb verb, const Text& target) {
  g_shell_handler.load()(verb, target);
}

void SetShellHandler(ShellHandler handler) {
  g_shell_handler = handler != nullptr ? handler : &DesktopOpen;
}

}  // namespace ostrevan
