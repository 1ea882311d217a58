// The fetch engine: the batch state, the extract command, the launchers and the workers.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "engine/results_table.h"
#include "runtime/program_texts.h"
#include "runtime/text.h"
#include "runtime/threads.h"

namespace ostrevan {

inline constexpr char kPortraitHost[] = "r.qzone.qq.com";
inline constexpr char kAvatarHost[] = "q1.qlogo.cn";

using texts::kAvatarsDone;
using texts::kChooseFirst;
using texts::kNicknamesDone;
using texts::kStatusDone;
using texts::kStatusFailed;
using texts::kStatusFetching;

Text NicknameUrl(const Text& number);
Text AvatarUrl(const Text& number);
Text NicknameFile();
Text AvatarFolder();
Text AvatarFilePath(const Text& number);

// The nickname in a reply of the portrait endpoint: the string literal that ends just before the
// last comma, with its escapes undone.
Text ExtractNickname(const Text& reply);
// Whether the bytes begin like a JPEG, PNG, GIF, WebP or BMP image.
bool LooksLikeImage(const ByteBuffer& body);

// The window the engine talks to; set before the window is shown.
void SetWindowPort(WindowPort* port);
WindowPort* CurrentWindowPort();

// Creates the empty batch state and registers the end-of-program clean-up.
void InitBatchState();
// Runs when the window exists and before it is shown: creates the batch lock.
void OnWindowCreated();
// The click on the extract button, on the window's thread.
void ExtractCommand();
void LaunchNicknameBatch();
void LaunchAvatarBatch();

// How many workers may be alive at once.
int WorkerBudget();

// Seams for tests.
struct EngineTuning {
  // Replaces StartWorker; returns false to act as a system that refuses threads.
  std::function<bool(std::function<void()>)> start_thread;
  int worker_budget = 0;  // 0: derived from the open-file limit
  std::chrono::milliseconds thread_start_patience{10'000};
  std::chrono::milliseconds thread_start_retry{20};
};
void SetEngineTuning(EngineTuning tuning);

// Workers of all batches that are still alive (tests wait for 0).
int LiveWorkers();

}  // namespace ostrevan
