// The window a benchmark runs its batches in: the display-less one, or the real one offscreen.
#pragma once

#include <functional>

#include "engine/results_table.h"

namespace ostrevan {

struct BenchWindow {
  WindowPort* port;
  std::function<void(const Text&)> set_input;
  std::function<int()> failed_rows;
  // Requests the window's thread has served, where the window counts them; else 0.
  std::function<long long()> round_trips;
};

// Runs the scenarios on a thread of their own while this thread serves the real window; returns
// the exit status. Without the window built in, says so and returns 2.
int RunWithQtWindow(int argc, char** argv, const std::function<void(BenchWindow&)>& scenarios);

}  // namespace ostrevan
