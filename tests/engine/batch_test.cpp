// Whole batches through the engine, the real HttpGet and the stand-in service, with the results
// list on a window thread of its own.
#include "engine/batch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "memory_window.h"
#include "net/http_get.h"
#include "runtime/files.h"
#include "runtime/threads.h"
#include "stub_server.h"

namespace ostrevan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The boxes the engine shows, recorded instead of shown.
class MessageLog {
 public:
  static MessageLog& Instance() {
    static MessageLog log;
    return log;
  }
  static void Present(const Text&, const Text& message, BoxIcon) {
    MessageLog& log = Instance();
    {
      std::lock_guard guard(log.mutex_);
      log.messages_.push_back(message);
    }
    log.changed_.notify_all();
  }
  bool WaitFor(std::size_t count, std::chrono::milliseconds timeout = 30s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return messages_.size() >= count; });
  }
  std::vector<Text> Messages() {
    std::lock_guard guard(mutex_);
    return messages_;
  }
  void Clear() {
    std::lock_guard guard(mutex_);
    messages_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Text> messages_;
};

Text Delayed(int ms, const Text& id) {
  return "fault-delay-" + std::to_string(ms) + "-" + id;
}
Text Fault(const Text& kind, const Text& id) {
  return "fault-" + kind + "-" + id;
}

Text Lines(const std::vector<Text>& numbers) {
  Text text;
  for (const Text& n : numbers) {
    text += n + "\r\n";
  }
  return text;
}

Text ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::vector<Text> SplitLines(const Text& text) {
  std::vector<Text> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != Text::npos; start = end + 2) {
    lines.push_back(text.substr(start, end + 2 - start));
  }
  EXPECT_EQ(start, text.size()) << "the file ends inside a line";
  return lines;
}

Text NicknameLine(const Text& number, const Text& nickname) {
  return number + "----" + nickname + "\r\n";
}

class BatchTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    HttpGlobalInit();
    InitBatchState();
    OnWindowCreated();
    SetMessagePresenter(&MessageLog::Present);
    stub_ = new stub::StubServer;
    ASSERT_TRUE(stub_->Start());
    Text proxy = "http://127.0.0.1:" + std::to_string(stub_->Port());
    setenv("http_proxy", proxy.c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
  }
  static void TearDownTestSuite() {
    stub_->Stop();
    delete stub_;
    SetMessagePresenter(nullptr);
  }

  void SetUp() override {
    folder_ =
        fs::temp_directory_path() / ("ostrevan-batch-" + std::to_string(getpid()) + "-" +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    SetRunDirectoryForTesting(folder_.string());
    MessageLog::Instance().Clear();
    SetEngineTuning({});
    SetWindowPort(&window_);
  }
  void TearDown() override {
    WaitForIdle();
    SetWindowPort(nullptr);
    SetEngineTuning({});
    fs::remove_all(folder_);
  }

  // Workers of cancelled or finished batches end on their own; nothing may outlive a test.
  static void WaitForIdle(std::chrono::milliseconds timeout = 30s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (LiveWorkers() > 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(LiveWorkers(), 0);
  }

  void RunNicknames(const std::vector<Text>& numbers) {
    window_.SetInputText(Lines(numbers));
    LaunchNicknameBatch();
  }
  void RunAvatars(const std::vector<Text>& numbers) {
    window_.SetInputText(Lines(numbers));
    LaunchAvatarBatch();
  }
  void ExpectOneMessage(const Text& message) {
    ASSERT_TRUE(MessageLog::Instance().WaitFor(1));
    WaitForIdle();
    EXPECT_EQ(MessageLog::Instance().Messages(), std::vector<Text>{message});
  }

  fs::path NameFile() const { return folder_ / "name.txt"; }
  fs::path AvatarDir() const { return folder_ / "头像"; }

  static stub::StubServer* stub_;
  fs::path folder_;
  MemoryWindow window_;
};

stub::StubServer* BatchTest::stub_ = nullptr;

TEST_F(BatchTest, NicknameBatchFillsEveryRowAndWritesTheFile) {
  window_.SetInputText("10001\r\n123456\r\n1514134242\r\n");
  LaunchNicknameBatch();
  ExpectOneMessage(kNicknamesDone);

  const std::vector<Text> numbers{"10001", "123456", "1514134242"};
  auto rows = window_.Rows();
  ASSERT_EQ(rows.size(), 3u);
  std::set<Text> expected_lines;
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    MemoryRow expected{std::to_string(i + 1), numbers[i], stub::NicknameFor(numbers[i]),
                       kStatusDone};
    EXPECT_EQ(rows[i], expected);
    expected_lines.insert(NicknameLine(numbers[i], stub::NicknameFor(numbers[i])));
  }
  auto lines = SplitLines(ReadFile(NameFile()));
  EXPECT_EQ(std::set<Text>(lines.begin(), lines.end()), expected_lines);
  EXPECT_EQ(lines.size(), 3u);
}

TEST_F(BatchTest, NicknameFileListsRowsInTheOrderTheyFinished) {
  RunNicknames({Delayed(900, "1"), Delayed(0, "2"), Delayed(450, "3")});
  ExpectOneMessage(kNicknamesDone);
  auto lines = SplitLines(ReadFile(NameFile()));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].substr(0, lines[0].find("----")), Delayed(0, "2"));
  EXPECT_EQ(lines[1].substr(0, lines[1].find("----")), Delayed(450, "3"));
  EXPECT_EQ(lines[2].substr(0, lines[2].find("----")), Delayed(900, "1"));
}

TEST_F(BatchTest, InputIsSplitIntoOneRowPerLine) {
  const std::pair<Text, std::vector<Text>> cases[] = {
      {"10001\r\n\r\n10002", {"10001", "", "10002"}},
      {"10001", {"10001"}},
      {"10001\r\n", {"10001"}},
  };
  for (const auto& [input, numbers] : cases) {
    MessageLog::Instance().Clear();
    window_.SetInputText(input);
    LaunchNicknameBatch();
    ExpectOneMessage(kNicknamesDone);
    auto rows = window_.Rows();
    ASSERT_EQ(rows.size(), numbers.size()) << input;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
      EXPECT_EQ(rows[i][kColumnIndex], std::to_string(i + 1));
      EXPECT_EQ(rows[i][kColumnNumber], numbers[i]);
      EXPECT_EQ(rows[i][kColumnStatus], kStatusDone);
    }
  }
}

TEST_F(BatchTest, EmptyInputClearsTheListAndStartsNothing) {
  window_.InsertRow({{kColumnNumber, "old"}});
  window_.SetInputText("");
  LaunchNicknameBatch();
  WaitForIdle();
  EXPECT_TRUE(window_.Rows().empty());
  EXPECT_FALSE(MessageLog::Instance().WaitFor(1, 200ms));
}

TEST_F(BatchTest, AvatarBatchCreatesTheFolderAndStoresEveryImageUnchanged) {
  ASSERT_FALSE(fs::exists(AvatarDir()));
  RunAvatars({"10001", "123456"});
  ExpectOneMessage(kAvatarsDone);

  auto rows = window_.Rows();
  ASSERT_EQ(rows.size(), 2u);
  for (const auto& row : rows) {
    EXPECT_EQ(row[kColumnNickname], "-");
    EXPECT_EQ(row[kColumnStatus], kStatusDone);
    EXPECT_EQ(ReadFile(AvatarDir() / (row[kColumnNumber] + ".jpg")),
              stub::AvatarImageFor(row[kColumnNumber]));
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(AvatarDir()), fs::directory_iterator()), 2);
  EXPECT_FALSE(fs::exists(NameFile()));
}

TEST_F(BatchTest, FailedNicknameRowsSaySoAndKeepTheirLine) {
  const std::vector<Text> failing{Fault("404", "1"), Fault("500", "2"), Fault("short", "3")};
  std::vector<Text> numbers = failing;
  numbers.push_back("10001");
  RunNicknames(numbers);
  ExpectOneMessage(kNicknamesDone);

  auto rows = window_.Rows();
  ASSERT_EQ(rows.size(), 4u);
  for (std::size_t i = 0; i < failing.size(); ++i) {
    EXPECT_EQ(rows[i][kColumnStatus], kStatusFailed) << failing[i];
    EXPECT_EQ(rows[i][kColumnNickname], "") << failing[i];
  }
  EXPECT_EQ(rows[3][kColumnStatus], kStatusDone);
  auto lines = SplitLines(ReadFile(NameFile()));
  std::set<Text> got(lines.begin(), lines.end());
  for (const Text& number : failing) {
    EXPECT_TRUE(got.count(NicknameLine(number, ""))) << number;
  }
  EXPECT_TRUE(got.count(NicknameLine("10001", stub::NicknameFor("10001"))));
}

TEST_F(BatchTest, FailedAvatarRowsStoreNothingAndKeepWhatWasThere) {
  fs::create_directories(AvatarDir());
  const Text kept = Fault("404", "1");
  std::ofstream(AvatarDir() / (kept + ".jpg"), std::ios::binary) << "earlier image";
  const std::vector<Text> failing{kept,
                                  Fault("short", "2"),
                                  Fault("notimage", "3"),
                                  Fault("empty", "4"),
                                  "../escape",
                                  "a\\b",
                                  "",
                                  ".hidden",
                                  "10009"};
  // A folder in the way of 10009.jpg: the write fails, and the folder stays as it was.
  fs::create_directories(AvatarDir() / "10009.jpg" / "inside");
  std::vector<Text> numbers = failing;
  numbers.push_back("10001");
  RunAvatars(numbers);
  ExpectOneMessage(kAvatarsDone);

  auto rows = window_.Rows();
  ASSERT_EQ(rows.size(), numbers.size());
  for (std::size_t i = 0; i < failing.size(); ++i) {
    EXPECT_EQ(rows[i][kColumnStatus], kStatusFailed) << failing[i];
  }
  EXPECT_EQ(rows.back()[kColumnStatus], kStatusDone);
  std::set<Text> stored;
  for (const auto& entry : fs::directory_iterator(AvatarDir())) {
    stored.insert(entry.path().filename().string());
  }
  EXPECT_EQ(stored, (std::set<Text>{kept + ".jpg", "10001.jpg", "10009.jpg"}));
  EXPECT_TRUE(fs::is_directory(AvatarDir() / "10009.jpg" / "inside"));
  EXPECT_EQ(ReadFile(AvatarDir() / (kept + ".jpg")), "earlier image");
  EXPECT_FALSE(fs::exists(folder_ / "escape.jpg"));
}

// The user may close the window while the completion box is open: the file is written first.
TEST_F(BatchTest, NicknameFileIsWrittenBeforeTheBatchIsAnnounced) {
  static fs::path name_file;
  static Text at_announcement;
  name_file = NameFile();
  SetMessagePresenter([](const Text& caption, const Text& message, BoxIcon icon) {
    at_announcement = ReadFile(name_file);
    MessageLog::Present(caption, message, icon);
  });
  RunNicknames({"10001"});
  ExpectOneMessage(kNicknamesDone);
  SetMessagePresenter(&MessageLog::Present);
  EXPECT_EQ(at_announcement, NicknameLine("10001", stub::NicknameFor("10001")));
}

TEST_F(BatchTest, NicknameFileThatCannotBeWrittenIsReportedByName) {
  fs::create_directories(NameFile());
  RunNicknames({"10001"});
  ASSERT_TRUE(MessageLog::Instance().WaitFor(1));
  WaitForIdle();
  auto messages = MessageLog::Instance().Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0], kNicknamesDone);
  EXPECT_NE(messages[0].find(NameFile().string()), Text::npos) << messages[0];
}

TEST_F(BatchTest, NewLaunchSupersedesTheRunningBatch) {
  std::vector<Text> slow;
  for (int i = 0; i < 20; ++i) {
    slow.push_back(Delayed(20'000, std::to_string(i)));
  }
  RunNicknames(slow);
  auto started = std::chrono::steady_clock::now();
  RunNicknames({"10001", "123456"});
  ExpectOneMessage(kNicknamesDone);
  // The superseded requests were cancelled, not waited out.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);

  auto rows = window_.Rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][kColumnNumber], "10001");
  EXPECT_EQ(rows[1][kColumnNumber], "123456");
  auto lines = SplitLines(ReadFile(NameFile()));
  EXPECT_EQ(lines.size(), 2u);
}

TEST_F(BatchTest, UpdatesAfterTheListWasClearedLandNowhere) {
  RunNicknames({Delayed(600, "1"), Delayed(600, "2"), Delayed(600, "3")});
  window_.ClearRows();
  window_.InsertRow({{kColumnNumber, "typed later"}});
  ExpectOneMessage(kNicknamesDone);

  auto rows = window_.Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (MemoryRow{"", "typed later", "", ""}));
  EXPECT_EQ(SplitLines(ReadFile(NameFile())).size(), 3u);
}

TEST_F(BatchTest, ThreadsTheSystemRefusesAreRetriedThenTheirRowsFail) {
  struct Case {
    const char* name;
    std::function<bool(int call)> refuse;
    std::vector<Text> statuses;
  };
  const Case cases[] = {
      {"refused_for_a_while",
       [](int call) { return call == 2 || call == 3; },
       {kStatusDone, kStatusDone, kStatusDone}},
      {"refused_for_ever_after_the_first",
       [](int call) { return call > 1; },
       {kStatusDone, kStatusFailed, kStatusFailed}},
  };
  for (const Case& c : cases) {
    MessageLog::Instance().Clear();
    auto calls = std::make_shared<std::atomic<int>>(0);
    EngineTuning tuning;
    tuning.thread_start_patience = 200ms;
    tuning.thread_start_retry = 5ms;
    tuning.start_thread = [calls, refuse = c.refuse](std::function<void()> routine) {
      return !refuse(++*calls) && StartWorker(std::move(routine));
    };
    SetEngineTuning(tuning);
    RunAvatars({"10001", "10002", "10003"});
    ExpectOneMessage(kAvatarsDone);
    auto rows = window_.Rows();
    ASSERT_EQ(rows.size(), 3u) << c.name;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(rows[i][kColumnStatus], c.statuses[i]) << c.name << " row " << i + 1;
    }
  }
}

TEST_F(BatchTest, LiveWorkersStayWithinTheBudget) {
  EngineTuning tuning;
  tuning.worker_budget = 3;
  SetEngineTuning(tuning);
  std::atomic<bool> sampling{true};
  std::atomic<int> peak{0};
  std::thread sampler([&] {
    while (sampling) {
      peak = std::max(peak.load(), LiveWorkers());
      std::this_thread::sleep_for(1ms);
    }
  });
  std::vector<Text> numbers;
  for (int i = 0; i < 12; ++i) {
    numbers.push_back(Delayed(100, std::to_string(i)));
  }
  RunNicknames(numbers);
  ExpectOneMessage(kNicknamesDone);
  sampling = false;
  sampler.join();
  EXPECT_LE(peak.load(), 3);
  EXPECT_EQ(SplitLines(ReadFile(NameFile())).size(), 12u);
}

TEST_F(BatchTest, ExactlyOneWorkerCompletesABatchUnderContention) {
  std::vector<Text> numbers;
  for (int i = 0; i < 400; ++i) {
    numbers.push_back(std::to_string(20000 + i));
  }
  RunNicknames(numbers);
  ExpectOneMessage(kNicknamesDone);
  auto lines = SplitLines(ReadFile(NameFile()));
  EXPECT_EQ(std::set<Text>(lines.begin(), lines.end()).size(), 400u);
}

TEST_F(BatchTest, ExtractCommandFollowsTheTickedBox) {
  window_.SetInputText("10001\r\n");
  window_.Call([] { ExtractCommand(); });
  ASSERT_TRUE(MessageLog::Instance().WaitFor(1));
  EXPECT_EQ(MessageLog::Instance().Messages(), std::vector<Text>{kChooseFirst});
  EXPECT_TRUE(window_.Rows().empty());

  MessageLog::Instance().Clear();
  window_.SetChecked(ModeBox::Nickname, true);
  window_.SetChecked(ModeBox::Avatar, true);
  window_.Call([] { ExtractCommand(); });
  ExpectOneMessage(kNicknamesDone);
  EXPECT_EQ(window_.Rows().at(0)[kColumnNickname], stub::NicknameFor("10001"));

  MessageLog::Instance().Clear();
  window_.SetChecked(ModeBox::Nickname, false);
  window_.Call([] { ExtractCommand(); });
  ExpectOneMessage(kAvatarsDone);
  EXPECT_EQ(window_.Rows().at(0)[kColumnNickname], "-");
}

}  // namespace
}  // namespace ostrevan
