// Workers, locks, boxes, the end-of-program clean-up and the desktop requests.
#include "runtime/threads.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/files.h"

namespace ostrevan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Generous: the suite runs on a loaded machine and under sanitizers.
constexpr auto kPatience = 30s;

std::promise<std::int32_t>* g_argument = nullptr;

void RecordArgument(std::int32_t argument) {
  g_argument->set_value(argument);
}

TEST(StartWorker, PassesTheArgument) {
  for (bool given : {true, false}) {
    SCOPED_TRACE(given);
    std::promise<std::int32_t> received;
    g_argument = &received;
    ThreadId id = 99;
    bool started = given ? StartWorker(&RecordArgument, 7, &id) : StartWorker(&RecordArgument);
    ASSERT_TRUE(started);
    auto future = received.get_future();
    ASSERT_EQ(future.wait_for(kPatience), std::future_status::ready);
    EXPECT_EQ(future.get(), given ? 7 : 0);
    if (given) {
      EXPECT_NE(id, 0u);
      EXPECT_NE(id, 99u);
    }
  }
}

TEST(StartWorker, RunsAFunction) {
  std::promise<void> ran;
  ThreadId id = 0;
  ASSERT_TRUE(StartWorker([&ran] { ran.set_value(); }, &id));
  EXPECT_NE(id, 0u);
  EXPECT_EQ(ran.get_future().wait_for(kPatience), std::future_status::ready);
}

// Waits for a flag that another thread sets.
class Signal {
 public:
  void Set() {
    std::lock_guard guard(mutex_);
    set_ = true;
    changed_.notify_all();
  }
  bool WaitFor(std::chrono::seconds patience) {
    std::unique_lock guard(mutex_);
    return changed_.wait_for(guard, patience, [this] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

TEST(Locks, OneHolderAtATime) {
  LockId lock = CreateLock();
  ASSERT_NE(lock, 0u);
  constexpr int kThreads = 4;
  constexpr int kRounds = 5000;
  int counter = 0;
  std::atomic<bool> inside{false};
  std::atomic<bool> overlapped{false};
  std::atomic<int> finished{0};
  Signal all_done;
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_TRUE(StartWorker([&] {
      for (int round = 0; round < kRounds; ++round) {
        EnterLock(lock);
        if (inside.exchange(true)) {
          overlapped = true;
        }
        ++counter;
        inside = false;
        LeaveLock(lock);
      }
      if (++finished == kThreads) {
        all_done.Set();
      }
    }));
  }
  ASSERT_TRUE(all_done.WaitFor(kPatience));
  EXPECT_FALSE(overlapped);
  EnterLock(lock);
  EXPECT_EQ(counter, kThreads * kRounds);
  LeaveLock(lock);
}

TEST(Locks, TwoLocksAreIndependent) {
  LockId first = CreateLock();
  LockId second = CreateLock();
  EXPECT_NE(first, second);
  EnterLock(first);
  Signal entered;
  ASSERT_TRUE(StartWorker([&] {
    EnterLock(second);
    LeaveLock(second);
    entered.Set();
  }));
  EXPECT_TRUE(entered.WaitFor(kPatience));
  LeaveLock(first);
}

TEST(Locks, UnknownIdentifiersDoNothing) {
  EnterLock(0);
  LeaveLock(0);
  int not_a_lock = 0;
  EnterLock(reinterpret_cast<LockId>(&not_a_lock));
  LeaveLock(reinterpret_cast<LockId>(&not_a_lock));
}

TEST(Locks, FormerIdentifiersDoNothing) {
  LockId held = CreateLock();
  EnterLock(held);
  DestroyLocks();
  Signal passed;
  ASSERT_TRUE(StartWorker([&] {
    EnterLock(held);
    LeaveLock(held);
    passed.Set();
  }));
  EXPECT_TRUE(passed.WaitFor(kPatience));
  LeaveLock(held);
}

struct Box {
  Text caption;
  Text message;
  BoxIcon icon;
};
std::vector<Box> g_boxes;

void RecordBox(const Text& caption, const Text& message, BoxIcon icon) {
  g_boxes.push_back({caption, message, icon});
}

TEST(Messages, InfoBoxesAndTheDefault) {
  g_boxes.clear();
  SetMessagePresenter(&RecordBox);
  ShowInfo("昵称获取完毕！");
  ShowMessage("错误", "report", BoxIcon::Error);
  SetMessagePresenter(nullptr);
  ASSERT_EQ(g_boxes.size(), 2u);
  EXPECT_EQ(g_boxes[0].caption, "");
  EXPECT_EQ(g_boxes[0].message, "昵称获取完毕！");
  EXPECT_EQ(g_boxes[0].icon, BoxIcon::Information);
  EXPECT_EQ(g_boxes[1].caption, "错误");
  EXPECT_EQ(g_boxes[1].icon, BoxIcon::Error);

  ::testing::internal::CaptureStderr();
  ShowInfo("完毕!");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "完毕!\n");
  EXPECT_EQ(g_boxes.size(), 2u);
}

int g_cleanups = 0;
void CountCleanup() {
  ++g_cleanups;
}

TEST(EndOfProgram, CleanupRunsAtMostOnceAndNotWhenWithdrawn) {
  g_cleanups = 0;
  RegisterEndOfProgramCleanup(&CountCleanup);
  RunEndOfProgramCleanup();
  RunEndOfProgramCleanup();
  EXPECT_EQ(g_cleanups, 1);

  RegisterEndOfProgramCleanup(&CountCleanup);
  WithdrawEndOfProgramCleanup();
  RunEndOfProgramCleanup();
  EXPECT_EQ(g_cleanups, 1);
}

TEST(EndOfProgram, OpenFileLimitIsRaisedToTheHardLimit) {
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = std::min<rlim_t>(saved.rlim_max, 256);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  EXPECT_EQ(OpenFileLimit(), static_cast<long>(lowered.rlim_cur));
  RaiseOpenFileLimit();
  rlimit raised;
  getrlimit(RLIMIT_NOFILE, &raised);
  EXPECT_EQ(raised.rlim_cur, saved.rlim_max);
  setrlimit(RLIMIT_NOFILE, &saved);
}

struct Request {
  ShellVerb verb;
  Text target;
};
std::vector<Request> g_requests;

void RecordRequest(ShellVerb verb, const Text& target) {
  g_requests.push_back({verb, target});
}

TEST(ShellRun, GoesToTheInstalledHandler) {
  g_requests.clear();
  SetShellHandler(&RecordRequest);
  ShellRun(ShellVerb::Open, "/opt/ostrevan/name.txt");
  ShellRun(ShellVerb::Explore, "/opt/ostrevan/头像");
  SetShellHandler(nullptr);
  ASSERT_EQ(g_requests.size(), 2u);
  EXPECT_EQ(g_requests[0].verb, ShellVerb::Open);
  EXPECT_EQ(g_requests[0].target, "/opt/ostrevan/name.txt");
  EXPECT_EQ(g_requests[1].verb, ShellVerb::Explore);
  EXPECT_EQ(g_requests[1].target, "/opt/ostrevan/头像");
}

// Processes whose parent is this one, running or ended but never waited for.
int ChildProcesses() {
  int children = 0;
  std::string me = std::to_string(getpid());
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::ifstream status(entry.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("PPid:", 0) == 0) {
        children += line.substr(line.find_first_not_of(" \t", 5)) == me;
        break;
      }
    }
  }
  return children;
}

// A stand-in for xdg-open first on PATH that writes its arguments, one a line, to a file.
class FakeDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ostrevan-shell-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    bin_ = pattern;
    out_ = bin_ / "argv.txt";
    fds_ = bin_ / "fds.txt";
    {
      std::ofstream script(bin_ / "xdg-open");
      script << "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"" << out_.string() << ".part\"\n"
             << "ls -l /proc/$$/fd > \"" << fds_.string() << "\"\n"
             << "mv \"" << out_.string() << ".part\" \"" << out_.string() << "\"\n";
    }
    fs::permissions(bin_ / "xdg-open", fs::perms::owner_all);
    const char* path = std::getenv("PATH");
    saved_path_ = path != nullptr ? path : "";
    setenv("PATH", (bin_.string() + ":" + saved_path_).c_str(), 1);
  }
  void TearDown() override {
    setenv("PATH", saved_path_.c_str(), 1);
    std::error_code ignored;
    fs::remove_all(bin_, ignored);
  }

  template <typename Condition>
  static bool WaitUntil(Condition condition) {
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) {
        return false;
      }
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  fs::path bin_;
  fs::path out_;
  fs::path fds_;
  std::string saved_path_;
};

TEST_F(FakeDesktop, DefaultHandlerRunsXdgOpenWithoutAShell) {
  // Stands for a descriptor that a library opened without close-on-exec, such as a socket.
  int held_open = open((bin_ / "held.txt").c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(held_open, 0);
  for (ShellVerb verb : {ShellVerb::Open, ShellVerb::Explore}) {
    SCOPED_TRACE(static_cast<int>(verb));
    fs::remove(out_);
    const Text target = (bin_ / "a b; echo $HOME").string();
    ShellRun(verb, target);
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(out_); }));
    std::ifstream in(out_);
    std::string written(std::istreambuf_iterator<char>(in), {});
    EXPECT_EQ(written, target + "\n");
    EXPECT_TRUE(WaitUntil([] { return ChildProcesses() == 0; }));
    std::ifstream fds(fds_);
    std::string inherited(std::istreambuf_iterator<char>(fds), {});
    EXPECT_NE(inherited.find("xdg-open"), std::string::npos) << inherited;
    EXPECT_EQ(inherited.find("held.txt"), std::string::npos) << inherited;
  }
  close(held_open);
}

}  // namespace
}  // namespace ostrevan
