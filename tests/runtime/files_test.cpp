// Files, folders and the run directory, each test on a scratch folder of its own.
#include "runtime/files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

namespace ostrevan {
namespace {

namespace fs = std::filesystem;

class ScratchFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ostrevan-files-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  Text PathOf(const std::string& name) const { return JoinPath(root_.string(), name); }

  static void Put(const Text& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string Read(const Text& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path root_;
};

using WriteFileBytesTest = ScratchFolder;

TEST_F(WriteFileBytesTest, ReplacesTheWholeFile) {
  struct Case {
    std::initializer_list<std::string_view> buffers;
    std::string expected;
  };
  const Case cases[] = {
      {{"hello"}, "hello"},
      {{"abc", "", "de"}, "abcde"},
      {{""}, ""},
      {{}, ""},
      {{std::string_view("\xFF\xD8\0\x01", 4)}, std::string("\xFF\xD8\0\x01", 4)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    Text missing = PathOf("new.jpg");
    fs::remove(missing);
    EXPECT_TRUE(WriteFileBytes(missing, c.buffers));
    EXPECT_EQ(Read(missing), c.expected);

    Text existing = PathOf("name.txt");
    Put(existing, std::string(100, 'x'));
    EXPECT_TRUE(WriteFileBytes(existing, c.buffers));
    EXPECT_EQ(Read(existing), c.expected);
  }
  EXPECT_EQ(Names(root_), (std::vector<std::string>{"name.txt", "new.jpg"}));
}

TEST_F(WriteFileBytesTest, RefusedTargetsChangeNothing) {
  EXPECT_FALSE(WriteFileBytes("", {"abc"}));
  EXPECT_FALSE(WriteFileBytes(PathOf("missing/a.jpg"), {"abc"}));
  fs::create_directory(PathOf("folder"));
  EXPECT_FALSE(WriteFileBytes(PathOf("folder"), {"abc"}));
  EXPECT_TRUE(fs::is_directory(PathOf("folder")));
  EXPECT_EQ(Names(root_), std::vector<std::string>{"folder"});
}

// The file-size limit makes the disk "full" after a few bytes; SIGXFSZ is ignored so that the
// write fails with EFBIG instead of killing the test.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit saved_{};
  sighandler_t old_handler_;
};

TEST_F(WriteFileBytesTest, FailedWriteKeepsTheOldFile) {
  Text path = PathOf("name.txt");
  Put(path, "old content");
  bool written;
  {
    FileSizeLimit limit(64);
    written = WriteFileBytes(path, {std::string(4096, 'n')});
  }
  EXPECT_FALSE(written);
  EXPECT_EQ(Read(path), "old content");
  EXPECT_EQ(Names(root_), std::vector<std::string>{"name.txt"});
}

TEST_F(WriteFileBytesTest, OverlappingWritersNeverInterleave) {
  Text path = PathOf("same.jpg");
  constexpr int kWriters = 4;
  constexpr int kRounds = 25;
  std::vector<std::thread> writers;
  std::atomic<int> failures{0};
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      std::string bytes(128 * 1024 + w, static_cast<char>('a' + w));
      for (int round = 0; round < kRounds; ++round) {
        if (!WriteFileBytes(path, {bytes})) {
          ++failures;
        }
      }
    });
  }
  for (std::thread& writer : writers) {
    writer.join();
  }
  EXPECT_EQ(failures, 0);
  std::string content = Read(path);
  ASSERT_FALSE(content.empty());
  int w = content[0] - 'a';
  EXPECT_EQ(content, std::string(128 * 1024 + w, content[0]));
  EXPECT_EQ(Names(root_), std::vector<std::string>{"same.jpg"});
}

using OpenForRewriteTest = ScratchFolder;

TEST_F(OpenForRewriteTest, EmptiesOrCreatesAndCloses) {
  Text existing = PathOf("name.txt");
  Put(existing, std::string(100, 'x'));
  FileNumber number = OpenForRewrite(existing);
  EXPECT_NE(number, 0);
  CloseFile(number);
  EXPECT_EQ(fs::file_size(existing), 0u);
  CloseFile(number);
  CloseFile(0);

  Text missing = PathOf("missing.txt");
  CloseFile(OpenForRewrite(missing));
  EXPECT_TRUE(fs::is_regular_file(missing));
  EXPECT_EQ(fs::file_size(missing), 0u);

  EXPECT_EQ(OpenForRewrite(""), 0);
  EXPECT_EQ(OpenForRewrite(PathOf("no/such.txt")), 0);
}

std::size_t OpenDescriptorCount() {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

TEST_F(OpenForRewriteTest, CloseAllFilesClosesWhatIsStillOpen) {
  std::size_t before = OpenDescriptorCount();
  FileNumber a = OpenForRewrite(PathOf("a"));
  FileNumber b = OpenForRewrite(PathOf("b"));
  EXPECT_NE(a, b);
  EXPECT_EQ(OpenDescriptorCount(), before + 2);
  CloseAllFiles();
  EXPECT_EQ(OpenDescriptorCount(), before);
  CloseFile(a);
}

using FolderTest = ScratchFolder;

TEST_F(FolderTest, CreateFolderMakesExactlyOne) {
  EXPECT_TRUE(CreateFolder(PathOf("头像")));
  EXPECT_TRUE(fs::is_directory(PathOf("头像")));
  EXPECT_FALSE(CreateFolder(PathOf("头像")));
  Put(PathOf("file"), "x");
  EXPECT_FALSE(CreateFolder(PathOf("file")));
  EXPECT_FALSE(CreateFolder(PathOf("missing/child")));
  EXPECT_FALSE(CreateFolder(""));
  EXPECT_EQ(Names(root_), (std::vector<std::string>{"file", "头像"}));
}

TEST_F(FolderTest, DeleteFolderTreeRemovesEverything) {
  fs::create_directories(PathOf("tree/a/b"));
  Put(PathOf("tree/1.jpg"), "1");
  Put(PathOf("tree/a/2.jpg"), "2");
  Put(PathOf("tree/a/b/3.jpg"), "3");
  EXPECT_TRUE(DeleteFolderTree(PathOf("tree")));
  EXPECT_FALSE(fs::exists(PathOf("tree")));

  fs::create_directory(PathOf("spaced"));
  EXPECT_TRUE(DeleteFolderTree("  " + PathOf("spaced")));
  EXPECT_FALSE(fs::exists(PathOf("spaced")));

  fs::create_directory(PathOf("slashed"));
  EXPECT_TRUE(DeleteFolderTree(PathOf("slashed") + "/"));
  EXPECT_FALSE(fs::exists(PathOf("slashed")));
}

TEST_F(FolderTest, DotNamesSurviveAndKeepTheFolder) {
  fs::create_directories(PathOf("tree/sub"));
  Put(PathOf("tree/.keep"), "k");
  Put(PathOf("tree/1.jpg"), "1");
  Put(PathOf("tree/sub/.hidden"), "h");
  Put(PathOf("tree/sub/2.jpg"), "2");
  EXPECT_FALSE(DeleteFolderTree(PathOf("tree")));
  EXPECT_EQ(Names(PathOf("tree")), (std::vector<std::string>{".keep", "sub"}));
  EXPECT_EQ(Names(PathOf("tree/sub")), std::vector<std::string>{".hidden"});
}

TEST_F(FolderTest, LinksAreRemovedNeverFollowed) {
  fs::create_directories(PathOf("outside/deep"));
  Put(PathOf("outside/keep.txt"), "k");
  Put(PathOf("outside/deep/keep.txt"), "k");
  fs::create_directory(PathOf("tree"));
  fs::create_directory_symlink(PathOf("outside"), PathOf("tree/folder-link"));
  fs::create_symlink(PathOf("outside/keep.txt"), PathOf("tree/file-link"));
  fs::create_symlink(PathOf("nowhere"), PathOf("tree/dangling"));

  EXPECT_TRUE(DeleteFolderTree(PathOf("tree")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(PathOf("tree"))));
  EXPECT_EQ(Read(PathOf("outside/keep.txt")), "k");
  EXPECT_EQ(Read(PathOf("outside/deep/keep.txt")), "k");
}

TEST_F(FolderTest, PathThatIsALinkIsRefused) {
  fs::create_directory(PathOf("outside"));
  Put(PathOf("outside/keep.txt"), "k");
  fs::create_directory_symlink(PathOf("outside"), PathOf("link"));
  for (const Text& spelling : {PathOf("link"), PathOf("link") + "/", PathOf("link") + "//"}) {
    SCOPED_TRACE(spelling);
    EXPECT_FALSE(DeleteFolderTree(spelling));
    EXPECT_EQ(Read(PathOf("outside/keep.txt")), "k");
    EXPECT_TRUE(fs::is_symlink(PathOf("link")));
  }
}

TEST_F(FolderTest, RefusedPathsDeleteNothing) {
  Put(PathOf("file"), "f");
  for (const Text& path : {Text(), Text("   "), PathOf("missing"), PathOf("file")}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(DeleteFolderTree(path));
  }
  EXPECT_EQ(Read(PathOf("file")), "f");
}

// Asking for the root on this machine would be ruinous if the refusal failed, so the spellings
// are tried in a child process shut into the scratch folder, which is "/" there.
TEST_F(FolderTest, RootIsRefusedInEverySpelling) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "shutting a child into a folder needs root";
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Put(PathOf("sentinel"), "s");
  fs::create_directory(PathOf("sub"));
  const char* spellings[] = {"/",    "//",  "///",     "/.",       "/..",  "/./",     "///..",
                             "/../", "  /", "/sub/..", "/sub/../", "/./.", "//./../."};
  const std::string root = root_.string();
  EXPECT_EXIT(
      {
        if (chroot(root.c_str()) != 0 || chdir("/") != 0) {
          _exit(10);
        }
        for (const char* spelling : spellings) {
          if (DeleteFolderTree(spelling)) {
            _exit(11);
          }
        }
        _exit(access("/sentinel", F_OK) == 0 && access("/sub", F_OK) == 0 ? 0 : 12);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(Read(PathOf("sentinel")), "s");
}

TEST(Paths, JoinAndPlainNames) {
  EXPECT_EQ(JoinPath("/opt/ostrevan", "name.txt"), "/opt/ostrevan/name.txt");
  EXPECT_EQ(JoinPath("", "name.txt"), "/name.txt");
  struct Case {
    std::string_view name;
    bool plain;
  };
  const Case cases[] = {
      {"123456", true},
      {"\xC4\xE3.jpg", true},
      {".hidden", true},
      {"", false},
      {".", false},
      {"..", false},
      {"a/b", false},
      {"a\\b", false},
      {"/", false},
      {"\\", false},
      {std::string_view("a\0b", 3), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name));
    EXPECT_EQ(IsPlainFileName(c.name), c.plain);
  }
}

TEST(RunDirectory, IsTheExecutablesFolderAndCurrent) {
  fs::path saved = fs::current_path();
  InitRunDirectory();
  fs::path expected = fs::read_symlink("/proc/self/exe").parent_path();
  EXPECT_EQ(RunDirectory(), expected.string());
  EXPECT_NE(RunDirectory().back(), '/');
  EXPECT_EQ(fs::current_path(), expected);

  SetRunDirectoryForTesting("/scratch");
  EXPECT_EQ(RunDirectory(), "/scratch");
  fs::current_path(saved);
}

}  // namespace
}  // namespace ostrevan
