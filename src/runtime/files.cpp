#include "runtime/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <vector>

#include "runtime/threads.h"

namespace ostrevan {
namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

std::mutex& RunDirectoryMutex() {
  static std::mutex mutex;
  return mutex;
}

Text& RunDirectoryValue() {
  static Text value;
  return value;
}

// Cuts a path before its last separator. On Windows the backslash may be the second byte of a
// GBK character, so the cut walks characters there; "/" is never a second byte, and the system
// hands us its paths in UTF-8, which a GBK walk would misread.
Text FolderOf(const Text& path) {
#ifdef _WIN32
  std::int32_t last = FindLast(path, "\\");
  return last <= 0 ? Text() : LeftBytes(path, last - 1);
#else
  std::size_t last = path.rfind(kSeparator);
  return last == Text::npos ? Text() : path.substr(0, last);
#endif
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// A name beside the target that no other writer uses and that emptying a folder still removes
// (no leading dot).
Text TemporaryNameFor(const Text& path) {
  static std::atomic<unsigned long> counter{0};
  return JoinText({path, ".ostrevan-tmp-", std::to_string(getpid()), "-",
                   std::to_string(counter.fetch_add(1))});
}

struct OpenFiles {
  std::mutex mutex;
  std::map<FileNumber, int> descriptors;
  FileNumber next = 1;
};

OpenFiles& Registry() {
  static OpenFiles* files = new OpenFiles;
  return *files;
}

bool IsRoot(const Text& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) != nullptr) {
    return Text(resolved) == "/";
  }
  // A path that does not resolve names no folder; only a spelling of the root is refused here.
  return path.find_first_not_of("/.") == Text::npos;
}

void EmptyFolder(int folder_fd);

// Removes one entry of the folder; a folder is emptied first. Links are entries like files.
void RemoveEntry(int folder_fd, const char* name) {
  struct stat info;
  if (fstatat(folder_fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return;
  }
  if (!S_ISDIR(info.st_mode)) {
    unlinkat(folder_fd, name, 0);
    return;
  }
  int child = openat(folder_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (child < 0) {
    return;
  }
  EmptyFolder(child);
  close(child);
  unlinkat(folder_fd, name, AT_REMOVEDIR);
}

// Lists every entry first, then deletes, so that deleting never disturbs the listing. Names that
// begin with a dot are left alone.
void EmptyFolder(int folder_fd) {
  int listing_fd = dup(folder_fd);
  if (listing_fd < 0) {
    return;
  }
  DIR* dir = fdopendir(listing_fd);
  if (dir == nullptr) {
    close(listing_fd);
    return;
  }
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(dir);
  for (const std::string& name : names) {
    RemoveEntry(folder_fd, name.c_str());
  }
}

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

Text RunDirectory() {
  std::lock_guard guard(RunDirectoryMutex());
  return RunDirectoryValue();
}

void InitRunDirectory() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  // For an executable in the root the value is empty, so that JoinPath still gives "/name".
  Text folder = length > 0 ? FolderOf(Text(path, static_cast<std::size_t>(length))) : Text();
  {
    std::lock_guard guard(RunDirectoryMutex());
    RunDirectoryValue() = folder;
  }
  Text current = folder.empty() ? Text(1, kSeparator) : folder;
  if (length > 0 && chdir(current.c_str()) != 0) {
    // The tool still works with absolute paths; the current folder only matters to programs
    // that the desktop starts for us.
    errno = 0;
  }
}

void SetRunDirectoryForTesting(const Text& folder) {
  std::lock_guard guard(RunDirectoryMutex());
  RunDirectoryValue() = folder;
}

Text JoinPath(std::string_view folder, std::string_view name) {
  return JoinText({folder, std::string_view(&kSeparator, 1), name});
}

bool IsPlainFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") {
    return false;
  }
  return name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

bool WriteFileBytes(const Text& path, std::initializer_list<std::string_view> buffers) {
  if (path.empty()) {
    return false;
  }
  Text temporary = TemporaryNameFor(path);
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    return false;
  }
  bool written = true;
  for (std::string_view buffer : buffers) {
    if (!WriteAll(fd, buffer)) {
      written = false;
      break;
    }
  }
  if (close(fd) != 0) {
    written = false;
  }
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

FileNumber OpenForRewrite(const Text& path) {
  if (path.empty()) {
    return 0;
  }
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    return 0;
  }
  OpenFiles& files = Registry();
  std::lock_guard guard(files.mutex);
  FileNumber number = files.next++;
  files.descriptors[number] = fd;
  return number;
}

void CloseFile(FileNumber number) {
  OpenFiles& files = Registry();
  int fd = -1;
  {
    std::lock_guard guard(files.mutex);
    auto found = files.descriptors.find(number);
    if (found == files.descriptors.end()) {
      return;
    }
    fd = found->second;
    files.descriptors.erase(found);
  }
  close(fd);
}

void CloseAllFiles() {
  OpenFiles& files = Registry();
  std::map<FileNumber, int> open_files;
  {
    std::lock_guard guard(files.mutex);
    open_files.swap(files.descriptors);
  }
  for (const auto& [number, fd] : open_files) {
    close(fd);
  }
}

bool CreateFolder(const Text& path) {
  return !path.empty() && mkdir(path.c_str(), 0755) == 0;
}

bool DeleteFolderTree(const Text& path) {
  std::size_t start = path.find_first_not_of(' ');
  if (start == Text::npos) {
    return false;
  }
  Text folder = path.substr(start);
  if (IsRoot(folder)) {
    return false;
  }
  // A trailing separator would make the system follow a link that the path ends in.
  while (folder.size() > 1 && folder.back() == kSeparator) {
    folder.pop_back();
  }
  // O_NOFOLLOW: a link that names a folder is no folder of ours to empty.
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  EmptyFolder(fd);
  close(fd);
  return rmdir(folder.c_str()) == 0;
}

void ShellRun(ShellVerb verb, const Text& target) {
  g_shell_handler.load()(verb, target);
}

void SetShellHandler(ShellHandler handler) {
  g_shell_handler = handler != nullptr ? handler : &DesktopOpen;
}

}  // namespace ostrevan
