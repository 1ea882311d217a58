#include "ui/output_commands.h"

#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "engine/batch.h"
#include "runtime/files.h"
#include "runtime/program_texts.h"
#include "runtime/threads.h"

namespace ostrevan {
namespace {

// Recreating the folder right after removing it can fail for a moment while the desktop still
// holds it; a few tries within two seconds, but never a window that hangs.
constexpr int kCreateTries = 5;
constexpr std::chrono::milliseconds kCreatePause{400};

bool IsFolder(const Text& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// True when the folder exists afterwards: created now, or kept because an entry in it survived.
bool RecreateFolder(const Text& folder) {
  for (int attempt = 1; attempt <= kCreateTries; ++attempt) {
    if (CreateFolder(folder) || IsFolder(folder)) {
      return true;
    }
    if (attempt < kCreateTries) {
      std::this_thread::sleep_for(kCreatePause);
    }
  }
  return false;
}

}  // namespace

void ViewNicknameFile() {
  ShellRun(ShellVerb::Open, NicknameFile());
}

void EmptyNicknameFile() {
  Text path = NicknameFile();
  FileNumber file = OpenForRewrite(path);
  if (file == 0) {
    ShowInfo(JoinText({texts::kNicknameFileNotEmptied, TextFromNative(path)}));
    return;
  }
  CloseFile(file);
  ShowInfo(texts::kDone);
}

void EmptyAvatarFolder() {
  Text folder = AvatarFolder();
  DeleteFolderTree(folder);
  if (RecreateFolder(folder)) {
    ShowInfo(texts::kDone);
  } else {
    ShowInfo(JoinText({texts::kAvatarFolderNotEmptied, TextFromNative(folder)}));
  }
}

void ViewAvatarFolder() {
  ShellRun(ShellVerb::Explore, AvatarFolder());
}

void ClearResultsList(ResultsTable& table) {
  table.ClearRows();
}

}  // namespace ostrevan
