// The file system and the desktop shell, as the tool uses them.
#pragma once

#include <initializer_list>
#include <string_view>

#include "runtime/text.h"

namespace ostrevan {

// The folder of the running executable, without a trailing separator. Fixed by
// InitRunDirectory before any other thread exists.
Text RunDirectory();
// Works out the executable's folder and makes it the current directory.
void InitRunDirectory();
// Points RunDirectory at another folder, so that tests can run on a scratch folder.
void SetRunDirectoryForTesting(const Text& folder);

// The one place that knows the path separator.
Text JoinPath(std::string_view folder, std::string_view name);
// True when name can be used as one component of a path: no separator of any platform in it,
// no zero byte, and not empty, "." or "..", which name no file of their own.
bool IsPlainFileName(std::string_view name);

// Replaces the file with the buffers' bytes, atomically: the bytes go to a temporary file beside
// the target, which is renamed over it only when every byte has been written. On failure the old
// file stays as it was and the temporary is removed.
bool WriteFileBytes(const Text& path, std::initializer_list<std::string_view> buffers);

using FileNumber = int;
// Creates the file, or cuts it to length 0; 0 when that fails.
FileNumber OpenForRewrite(const Text& path);
void CloseFile(FileNumber number);
// Closes every file still open; run once at the end of the program.
void CloseAllFiles();

// Creates exactly one folder; false when anything of that name exists or the parent is missing.
bool CreateFolder(const Text& path);
// Deletes the folder and everything in it, except entries whose names begin with a dot. Links
// are removed as entries and never followed. True when the folder itself was removed. Leading
// spaces are skipped. Refused (false, nothing deleted): the empty path, spaces only, any
// spelling of the root, and a path that is itself a link, even one to a folder.
bool DeleteFolderTree(const Text& path);

enum class ShellVerb { Explore = 2, Open = 4 };
// Hands the target to the desktop and returns at once.
void ShellRun(ShellVerb verb, const Text& target);
// Lets the window layer send desktop requests its own way.
using ShellHandler = void (*)(ShellVerb verb, const Text& target);
void SetShellHandler(ShellHandler handler);

}  // namespace ostrevan
