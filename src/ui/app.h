// The program from start to end.
#pragma once

#include <functional>

namespace ostrevan {

class MainWindow;

// Starts the runtime, the engine and the window, serves the window until it is closed, runs
// the clean-up once and ends the process with code 0. Does not return. once_shown runs on the
// window's thread right after the window has been shown (tests drive the window with it).
[[noreturn]] void RunProgram(int argc, char** argv,
                             const std::function<void(MainWindow&)>& once_shown = {});

}  // namespace ostrevan
