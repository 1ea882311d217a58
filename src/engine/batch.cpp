#include "engine/batch.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "net/http_get.h"
#include "runtime/files.h"

namespace ostrevan {
namespace {

enum class Mode { Nickname, Avatar };

constexpr char kLineBreak[] = "\r\n";
constexpr char kNicknameSeparator[] = "----";
// Rows are inserted this many at a time: one round trip to the window per chunk, and the window
// thread is never held long enough to freeze the list.
constexpr int kRowsPerInsert = 256;

// One batch owns its numbers, its count and its lines; its workers share them through the
// shared pointer, so a later batch can never release numbers under a worker that still reads.
struct Batch {
  explicit Batch(Mode m) : mode(m) {}

  const Mode mode;
  TextArray numbers;
  std::int32_t total = 0;
  // The table row of batch row i is rows[i - 1]; each entry is set before its worker starts.
  std::vector<RowId> rows;
  // Set, under the batch lock, when a later launch supersedes this batch; also cancels the
  // requests in flight.
  StopFlag superseded{false};
  // Guarded by the batch lock.
  std::int32_t done_count = 0;
  Text result_text;
};

struct Engine {
  WindowPort* port = nullptr;
  LockId batch_lock = 0;

  // Serialises the launchers' inserts against a newer launch, so that a superseded launcher
  // cannot add rows after the newer one has cleared the list.
  std::mutex launch_mutex;
  std::shared_ptr<Batch> current;

  std::mutex tuning_mutex;
  EngineTuning tuning;

  std::mutex workers_mutex;
  std::condition_variable worker_ended;
  int live_workers = 0;
};

Engine& TheEngine() {
  // Never destroyed: workers may still run while the process ends.
  static Engine* engine = new Engine;
  return *engine;
}

EngineTuning Tuning() {
  Engine& e = TheEngine();
  std::lock_guard guard(e.tuning_mutex);
  return e.tuning;
}

bool IsBackslash(char c) {
  return c == '\\';
}

// Undoes the escapes \" \\ and \/ of a string literal; every other byte stays as it came. GBK
// characters are stepped over whole, since their second byte may be 0x5C.
Text UnescapeLiteral(std::string_view literal) {
  Text out;
  out.reserve(literal.size());
  for (std::size_t i = 0; i < literal.size(); ++i) {
    char c = literal[i];
    if (IsLeadByte(c) && i + 1 < literal.size()) {
      out += c;
      out += literal[++i];
    } else if (IsBackslash(c) && i + 1 < literal.size() &&
               (literal[i + 1] == '"' || literal[i + 1] == '\\' || literal[i + 1] == '/')) {
      out += literal[++i];
    } else {
      out += c;
    }
  }
  return out;
}

// The position (0-based) of the last double quote in head that is not escaped by an odd run of
// backslashes, or npos.
std::size_t LastUnescapedQuote(std::string_view head) {
  std::size_t found = std::string_view::npos;
  int backslashes = 0;
  for (std::size_t i = 0; i < head.size(); ++i) {
    char c = head[i];
    if (IsLeadByte(c)) {
      backslashes = 0;
      ++i;
      continue;
    }
    if (c == '"' && backslashes % 2 == 0) {
      found = i;
    }
    backslashes = IsBackslash(c) ? backslashes + 1 : 0;
  }
  return found;
}

WindowPort* Port() {
  return TheEngine().port;
}

int BudgetFromLimits() {
  // Each transfer holds about three descriptors; keep some for the toolkit and the files.
  long by_files = (OpenFileLimit() - 256) / 4;
  long pid_max = 32768;
  std::ifstream("/proc/sys/kernel/pid_max") >> pid_max;
  long by_pids = pid_max / 8;
  return static_cast<int>(std::clamp(std::min(by_files, by_pids), 16L, 4000L));
}

void WorkerEnded() {
  Engine& e = TheEngine();
  {
    std::lock_guard guard(e.workers_mutex);
    --e.live_workers;
  }
  e.worker_ended.notify_all();
}

// Waits until the live workers are under the budget and reserves a place, or gives up when the
// batch is superseded.
bool ReserveWorkerPlace(const Batch& batch, int budget) {
  Engine& e = TheEngine();
  std::unique_lock lock(e.workers_mutex);
  while (e.live_workers >= budget) {
    if (batch.superseded) {
      return false;
    }
    e.worker_ended.wait_for(lock, std::chrono::milliseconds(50));
  }
  ++e.live_workers;
  return true;
}

RowId RowOf(const Batch& batch, std::int32_t row_number) {
  return batch.rows[static_cast<std::size_t>(row_number - 1)];
}

void AnnounceNicknames(const Text& lines) {
  if (WriteFileBytes(NicknameFile(), {lines})) {
    ShowInfo(kNicknamesDone);
  } else {
    ShowInfo(JoinText({texts::kNicknameFileNotWritten, TextFromNative(NicknameFile())}));
  }
}

// Marks a finished row, counts it and, for the row that completes the batch, writes the
// nickname file and tells the user. A superseded batch touches nothing.
void FinishRow(Batch& batch, std::int32_t row_number, const Cells& cells, const Text* line) {
  if (batch.superseded) {
    return;
  }
  Port()->SetCells(RowOf(batch, row_number), cells);

  LockId lock = TheEngine().batch_lock;
  bool complete = false;
  Text taken;
  EnterLock(lock);
  if (!batch.superseded) {
    complete = ++batch.done_count == batch.total;
    if (line != nullptr) {
      batch.result_text += *line;
    }
    if (complete) {
      batch.done_count = 0;
      taken = std::move(batch.result_text);
      batch.result_text.clear();
    }
  }
  LeaveLock(lock);

  if (!complete) {
    return;
  }
  if (batch.mode == Mode::Nickname) {
    AnnounceNicknames(taken);
  } else {
    ShowInfo(kAvatarsDone);
  }
}

void FinishNicknameRow(Batch& batch, std::int32_t row_number, const Text& nickname, bool ok) {
  Text line =
      JoinText({ElementAt(batch.numbers, row_number), kNicknameSeparator, nickname, kLineBreak});
  FinishRow(batch, row_number,
            {{kColumnNickname, nickname}, {kColumnStatus, ok ? kStatusDone : kStatusFailed}},
            &line);
}

void FinishAvatarRow(Batch& batch, std::int32_t row_number, bool ok) {
  FinishRow(batch, row_number, {{kColumnStatus, ok ? kStatusDone : kStatusFailed}}, nullptr);
}

void FailRow(Batch& batch, std::int32_t row_number) {
  if (batch.mode == Mode::Nickname) {
    FinishNicknameRow(batch, row_number, Text(), false);
  } else {
    FinishAvatarRow(batch, row_number, false);
  }
}

// A number is stored under its own name only when that name stays inside the avatar folder and
// is no hidden file, which would keep the folder from being emptied.
bool UsableAsAvatarName(const Text& number) {
  return IsPlainFileName(number) && number.front() != '.';
}

void NicknameWorker(const std::shared_ptr<Batch>& batch, std::int32_t row_number) {
  const Text& number = ElementAt(batch->numbers, row_number);
  HttpReply reply = HttpGet(NicknameUrl(number), &batch->superseded);
  bool ok = reply.Succeeded();
  FinishNicknameRow(*batch, row_number, ok ? ExtractNickname(BytesToText(reply.body)) : Text(), ok);
}

bool FetchAndStoreAvatar(Batch& batch, const Text& number) {
  if (!UsableAsAvatarName(number)) {
    return false;
  }
  HttpReply reply = HttpGet(AvatarUrl(number), &batch.superseded);
  return reply.Succeeded() && LooksLikeImage(reply.body) && !batch.superseded &&
         WriteFileBytes(AvatarFilePath(number), {reply.body});
}

void AvatarWorker(const std::shared_ptr<Batch>& batch, std::int32_t row_number) {
  bool ok = FetchAndStoreAvatar(*batch, ElementAt(batch->numbers, row_number));
  FinishAvatarRow(*batch, row_number, ok);
}

bool StartThread(const EngineTuning& tuning, std::function<void()> routine) {
  if (tuning.start_thread) {
    return tuning.start_thread(std::move(routine));
  }
  return StartWorker(std::move(routine));
}

// Starts the row's worker, retrying while the system refuses threads, since threads end all the
// time. A row whose thread never starts fails, so that the batch still ends.
void StartRowWorker(const std::shared_ptr<Batch>& batch, std::int32_t row_number,
                    const EngineTuning& tuning, int budget) {
  if (!ReserveWorkerPlace(*batch, budget)) {
    return;
  }
  auto routine = [batch, row_number] {
    if (batch->mode == Mode::Nickname) {
      NicknameWorker(batch, row_number);
    } else {
      AvatarWorker(batch, row_number);
    }
    WorkerEnded();
  };
  auto deadline = std::chrono::steady_clock::now() + tuning.thread_start_patience;
  while (!StartThread(tuning, routine)) {
    if (batch->superseded || std::chrono::steady_clock::now() >= deadline) {
      WorkerEnded();
      FailRow(*batch, row_number);
      return;
    }
    std::this_thread::sleep_for(tuning.thread_start_retry);
  }
}

Cells LaunchCells(const Batch& batch, std::int32_t row_number) {
  Cells cells{{kColumnIndex, NumberToText(row_number)},
              {kColumnNumber, ElementAt(batch.numbers, row_number)}};
  if (batch.mode == Mode::Avatar) {
    cells.push_back({kColumnNickname, "-"});
  }
  cells.push_back({kColumnStatus, kStatusFetching});
  return cells;
}

// Makes the batch current: the one it replaces stops, and its workers touch nothing from now on.
// Runs under the launch mutex.
void Supersede(const std::shared_ptr<Batch>& batch) {
  Engine& e = TheEngine();
  if (e.current) {
    EnterLock(e.batch_lock);
    e.current->superseded = true;
    LeaveLock(e.batch_lock);
  }
  e.current = batch;
}

// Inserts the rows first..last in one round trip; false when the batch was superseded in the
// meantime.
bool InsertChunk(const std::shared_ptr<Batch>& batch, std::int32_t first, std::int32_t last) {
  std::vector<Cells> rows;
  rows.reserve(static_cast<std::size_t>(last - first + 1));
  for (std::int32_t i = first; i <= last; ++i) {
    rows.push_back(LaunchCells(*batch, i));
  }
  std::lock_guard guard(TheEngine().launch_mutex);
  if (batch->superseded) {
    return false;
  }
  RowId row = Port()->InsertRows(rows);
  for (std::int32_t i = first; i <= last; ++i) {
    batch->rows[static_cast<std::size_t>(i - 1)] = row == kNoRow ? kNoRow : row + (i - first);
  }
  return true;
}

void LaunchBatch(Mode mode) {
  if (Port() == nullptr) {
    return;
  }
  auto batch = std::make_shared<Batch>(mode);
  {
    std::lock_guard guard(TheEngine().launch_mutex);
    Supersede(batch);
    Port()->ClearRows();
  }
  batch->numbers = SplitText(Port()->ReadInputText(), kLineBreak);
  batch->total = ElementCount(batch->numbers);
  batch->rows.assign(static_cast<std::size_t>(batch->total), kNoRow);
  if (mode == Mode::Avatar) {
    CreateFolder(AvatarFolder());
  }

  EngineTuning tuning = Tuning();
  int budget = tuning.worker_budget > 0 ? tuning.worker_budget : WorkerBudget();
  for (std::int32_t first = 1; first <= batch->total; first += kRowsPerInsert) {
    std::int32_t last = std::min(batch->total, first + kRowsPerInsert - 1);
    if (!InsertChunk(batch, first, last)) {
      return;
    }
    for (std::int32_t i = first; i <= last; ++i) {
      StartRowWorker(batch, i, tuning, budget);
      if (batch->superseded) {
        return;
      }
    }
  }
}

void ReleaseBatchState() {
  Engine& e = TheEngine();
  std::lock_guard guard(e.launch_mutex);
  e.current.reset();
}

}  // namespace

Text NicknameUrl(const Text& number) {
  return JoinText({"http://", kPortraitHost, "/fcg-bin/cgi_get_portrait.fcg?uins=", number});
}

Text AvatarUrl(const Text& number) {
  return JoinText({"http://", kAvatarHost, "/headimg_dl?bs=qq&dst_uin=", number,
                   "&src_uin=*&fid=*&spec=100&url_enc=0&referer=bu_interface&term_type=PC"});
}

Text NicknameFile() {
  return JoinPath(RunDirectory(), "name.txt");
}
Text AvatarFolder() {
  return JoinPath(RunDirectory(), "头像");
}
Text AvatarFilePath(const Text& number) {
  return JoinPath(AvatarFolder(), NativeFromText(JoinText({number, ".jpg"})));
}

Text ExtractNickname(const Text& reply) {
  std::int32_t comma = FindLast(reply, ",");
  Text head = LeftBytes(reply, TruncateToInt(static_cast<double>(comma) - 2));
  std::size_t quote = LastUnescapedQuote(head);
  std::string_view literal(head);
  if (quote != std::string_view::npos) {
    literal.remove_prefix(quote + 1);
  }
  return UnescapeLiteral(literal);
}

bool LooksLikeImage(const ByteBuffer& body) {
  std::string_view b(body);
  auto starts = [&](std::string_view sig) { return b.substr(0, sig.size()) == sig; };
  return starts("\xFF\xD8\xFF") || starts("\x89PNG\r\n\x1A\n") || starts("GIF87a") ||
         starts("GIF89a") || (starts("RIFF") && b.substr(8, 4) == "WEBP") || starts("BM");
}

void SetWindowPort(WindowPort* port) {
  TheEngine().port = port;
}
WindowPort* CurrentWindowPort() {
  return TheEngine().port;
}

void InitBatchState() {
  {
    Engine& e = TheEngine();
    std::lock_guard guard(e.launch_mutex);
    e.current = std::make_shared<Batch>(Mode::Nickname);
  }
  RegisterEndOfProgramCleanup(ReleaseBatchState);
}

void OnWindowCreated() {
  TheEngine().batch_lock = CreateLock();
}

void ExtractCommand() {
  WindowPort* port = Port();
  if (port == nullptr) {
    return;
  }
  void (*launcher)() = nullptr;
  if (port->ReadChecked(ModeBox::Nickname) == 1) {
    launcher = LaunchNicknameBatch;
  } else if (port->ReadChecked(ModeBox::Avatar) == 1) {
    launcher = LaunchAvatarBatch;
  } else {
    ShowInfo(kChooseFirst);
    return;
  }
  if (!StartWorker(std::function<void()>(launcher))) {
    ShowInfo(texts::kLauncherRefused);
  }
}

void LaunchNicknameBatch() {
  LaunchBatch(Mode::Nickname);
}
void LaunchAvatarBatch() {
  LaunchBatch(Mode::Avatar);
}

int WorkerBudget() {
  static const int budget = BudgetFromLimits();
  return budget;
}

void SetEngineTuning(EngineTuning tuning) {
  Engine& e = TheEngine();
  std::lock_guard guard(e.tuning_mutex);
  e.tuning = std::move(tuning);
}

int LiveWorkers() {
  Engine& e = TheEngine();
  std::lock_guard guard(e.workers_mutex);
  return e.live_workers;
}

}  // namespace ostrevan
