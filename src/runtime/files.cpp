// The run directory, paths, whole-file writes and the files held open for rewriting.
#include "runtime/files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>

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

}  // namespace ostrevan
