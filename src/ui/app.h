// The program from start to end.
#pragma once

namespace ostrevan {

// Starts the runtime, the engine and the window, serves the window until it is closed, runs
// the clean-up once and ends the process with code 0. Does not return.
[[noreturn]] void RunProgram(int argc, char** argv);

}  // namespace ostrevan
