// Folders: making one, and removing a tree without ever reaching outside it.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/files.h"

namespace ostrevan {
namespace {

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
}  // namespace

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
  // A trailing slash would make the system follow a link that the path ends in.
  while (folder.size() > 1 && folder.back() == '/') {
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
}  // namespace ostrevan
