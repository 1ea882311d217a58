// Runs nickname and avatar batches through the engine, the real HttpGet and the stand-in service
// (as a process of its own), and the same URLs through a reference fetcher: a libcurl multi loop
// with 100 transfers in parallel, as `curl --parallel` does. One line of key=value pairs per
// scenario.
//
//   ostrevan-bench [--rows N] [--scenario nickname|avatar|both] [--delay-ms MS]
//                  [--window memory|qt] [--no-reference]
#include <curl/curl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_window.h"
#include "engine/batch.h"
#include "memory_window.h"
#include "net/http_get.h"
#include "runtime/files.h"
#include "runtime/threads.h"

namespace {

using namespace ostrevan;
using Clock = std::chrono::steady_clock;

struct Options {
  int rows = 10'000;
  std::string window = "memory";
  std::string scenario = "both";
  int delay_ms = 0;
  bool reference = true;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string key = argv[i];
    std::string value = i + 1 < argc ? argv[i + 1] : "";
    if (key == "--no-reference") {
      options.reference = false;
      continue;
    }
    if (key == "--rows") {
      options.rows = std::stoi(value);
    } else if (key == "--scenario") {
      options.scenario = value;
    } else if (key == "--window") {
      options.window = value;
    } else if (key == "--delay-ms") {
      options.delay_ms = std::stoi(value);
    } else {
      std::fprintf(stderr, "unknown option %s\n", key.c_str());
      std::exit(2);
    }
    ++i;
  }
  return options;
}

// The stand-in service as a child process, so that its work does not count as ours.
class StubProcess {
 public:
  StubProcess(const std::string& path, int delay_ms) {
    int out[2];
    if (pipe(out) != 0) {
      std::perror("pipe");
      std::exit(1);
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      std::string delay = std::to_string(delay_ms);
      execl(path.c_str(), path.c_str(), "--lifetime", "3600", "--delay-ms", delay.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    FILE* in = fdopen(out[0], "r");
    char line[128] = {};
    if (in == nullptr || std::fgets(line, sizeof line, in) == nullptr ||
        std::sscanf(line, "port=%d", &port_) != 1) {
      std::fprintf(stderr, "the stand-in service at %s did not start\n", path.c_str());
      std::exit(1);
    }
    std::fclose(in);
  }
  ~StubProcess() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  int Port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

class Completion {
 public:
  static Completion& Instance() {
    static Completion c;
    return c;
  }
  static void Present(const Text&, const Text& message, BoxIcon) {
    Completion& c = Instance();
    {
      std::lock_guard guard(c.mutex_);
      c.message_ = message;
      c.done_ = true;
    }
    c.changed_.notify_all();
  }
  Text Wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return done_; });
    done_ = false;
    return message_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  Text message_;
};

int ThreadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) {
      return std::atoi(line.c_str() + 8);
    }
  }
  return 0;
}

double PeakRssMb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::atof(line.c_str() + 6) / 1024.0;
    }
  }
  return 0;
}

void ResetPeakRss() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

class ThreadSampler {
 public:
  ThreadSampler()
      : thread_([this] {
          while (running_) {
            peak_ = std::max(peak_.load(), ThreadCount());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
          }
        }) {}
  int Stop() {
    running_ = false;
    thread_.join();
    return peak_;
  }

 private:
  std::atomic<bool> running_{true};
  std::atomic<int> peak_{0};
  std::thread thread_;
};

size_t Discard(char*, size_t size, size_t count, void*) {
  return size * count;
}

size_t Store(char* data, size_t size, size_t count, void* file) {
  return std::fwrite(data, size, count, static_cast<FILE*>(file)) * size;
}

// What `curl --parallel --parallel-max 100` does with the same URLs; with a folder, each body
// is stored in a file of its own there, as `curl -o` would.
double ReferenceSeconds(const std::vector<Text>& urls, const std::filesystem::path& folder) {
  auto start = Clock::now();
  CURLM* multi = curl_multi_init();
  CURLSH* share = curl_share_init();
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  std::size_t next = 0;
  int running = 0;
  std::map<CURL*, FILE*> files;
  auto add = [&] {
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, urls[next].c_str());
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
    if (folder.empty()) {
      curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Discard);
    } else {
      FILE* file = std::fopen((folder / (std::to_string(next) + ".jpg")).c_str(), "wb");
      files[easy] = file;
      curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Store);
      curl_easy_setopt(easy, CURLOPT_WRITEDATA, file);
    }
    ++next;
    curl_easy_setopt(easy, CURLOPT_SHARE, share);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_multi_add_handle(multi, easy);
  };
  while (next < urls.size() && next < 100) {
    add();
  }
  do {
    curl_multi_perform(multi, &running);
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
      if (msg->msg == CURLMSG_DONE) {
        curl_multi_remove_handle(multi, msg->easy_handle);
        if (auto file = files.find(msg->easy_handle); file != files.end()) {
          std::fclose(file->second);
          files.erase(file);
        }
        curl_easy_cleanup(msg->easy_handle);
        if (next < urls.size()) {
          add();
          ++running;
        }
      }
    }
    if (running > 0) {
      curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
  } while (running > 0 || next < urls.size());
  curl_multi_cleanup(multi);
  curl_share_cleanup(share);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void RunScenario(const std::string& name, int rows, const Options& options, BenchWindow& window) {
  bool nickname = name == "nickname";
  Text input;
  std::vector<Text> urls;
  for (int i = 0; i < rows; ++i) {
    Text number = std::to_string(100000 + i);
    input += number + "\r\n";
    urls.push_back(nickname ? NicknameUrl(number) : AvatarUrl(number));
  }
  window.set_input(input);
  window.port->ClearRows();
  ResetPeakRss();

  ThreadSampler sampler;
  long long trips_before = window.round_trips();
  auto start = Clock::now();
  if (nickname) {
    LaunchNicknameBatch();
  } else {
    LaunchAvatarBatch();
  }
  Text message = Completion::Instance().Wait();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  int peak_threads = sampler.Stop();
  double peak_rss = PeakRssMb();
  long long trips = window.round_trips() - trips_before;
  int failed = window.failed_rows();
  while (LiveWorkers() > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  std::filesystem::path stored;
  if (!nickname) {
    stored = std::filesystem::path(RunDirectory()) / "reference";
    std::filesystem::create_directories(stored);
  }
  double reference = options.reference ? ReferenceSeconds(urls, stored) : 0;
  if (!stored.empty()) {
    std::filesystem::remove_all(stored);
    std::filesystem::remove_all(AvatarFolder());
  }
  std::printf(
      "scenario=%s window=%s rows=%d delay_ms=%d seconds=%.3f reference_seconds=%.3f ratio=%.2f "
      "peak_rss_mb=%.1f peak_threads=%d failed_rows=%d round_trips=%lld\n",
      name.c_str(), options.window.c_str(), rows, options.delay_ms, seconds, reference,
      reference > 0 ? seconds / reference : 0.0, peak_rss, peak_threads, failed, trips);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options options = ParseOptions(argc, argv);
  std::string stub_path = (std::filesystem::path(argv[0]).parent_path() / "ostrevan-stub").string();
  StubProcess stub(stub_path, options.delay_ms);
  std::string proxy = "http://127.0.0.1:" + std::to_string(stub.Port());
  setenv("http_proxy", proxy.c_str(), 1);
  unsetenv("no_proxy");
  unsetenv("NO_PROXY");

  InitRuntimeServices();
  HttpGlobalInit();
  auto folder =
      std::filesystem::temp_directory_path() / ("ostrevan-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  SetRunDirectoryForTesting(folder.string());
  InitBatchState();
  SetMessagePresenter(&Completion::Present);
  auto run_scenarios = [&options](BenchWindow& window) {
    for (const char* name : {"nickname", "avatar"}) {
      if (options.scenario == "both" || options.scenario == name) {
        RunScenario(name, options.rows, options, window);
      }
    }
  };
  int status = 0;
  if (options.window == "qt") {
    status = RunWithQtWindow(argc, argv, run_scenarios);
  } else {
    MemoryWindow memory;
    BenchWindow window{&memory, [&](const Text& text) { memory.SetInputText(text); },
                       [&] {
                         int failed = 0;
                         for (const MemoryRow& row : memory.Rows()) {
                           failed += row[kColumnStatus] != kStatusDone;
                         }
                         return failed;
                       },
                       [&] { return memory.RoundTrips(); }};
    SetWindowPort(&memory);
    OnWindowCreated();
    run_scenarios(window);
    SetWindowPort(nullptr);
  }
  std::filesystem::remove_all(folder);
  return status;
}
