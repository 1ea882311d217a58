// ostrevan-stub [--port P] [--lifetime SECONDS] [--delay-ms MS]
//
// Serves the stand-in service on 127.0.0.1 and prints "port=N" as its first line. It stops by
// itself when its lifetime is over (10 minutes unless told otherwise), or on SIGTERM or SIGINT.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "stub_server.h"

namespace {

ostrevan::stub::StubOptions ParseOptions(int argc, char** argv) {
  ostrevan::stub::StubOptions options;
  options.lifetime_seconds = 600;
  if (argc % 2 == 0) {
    std::fprintf(stderr, "usage: ostrevan-stub [--port P] [--lifetime SECONDS] [--delay-ms MS]\n");
    std::exit(2);
  }
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--port") == 0) {
      options.port = std::atoi(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--lifetime") == 0) {
      options.lifetime_seconds = std::atof(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--delay-ms") == 0) {
      options.reply_delay_ms = std::atoi(argv[i + 1]);
    } else {
      std::fprintf(stderr, "ostrevan-stub: unknown option %s\n", argv[i]);
      std::exit(2);
    }
  }
  return options;
}

// A lifetime of zero serves until a signal comes.
void WaitForStop(const ostrevan::stub::StubOptions& options, const sigset_t& stop_signals) {
  if (options.lifetime_seconds <= 0) {
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    return;
  }
  timespec lifetime{};
  lifetime.tv_sec = static_cast<time_t>(options.lifetime_seconds);
  lifetime.tv_nsec = static_cast<long>((options.lifetime_seconds - lifetime.tv_sec) * 1e9);
  sigtimedwait(&stop_signals, nullptr, &lifetime);
}

}  // namespace

int main(int argc, char** argv) {
  ostrevan::stub::StubOptions options = ParseOptions(argc, argv);
  // The serving thread inherits the blocked signals, so they reach only the wait below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  ostrevan::stub::StubServer server;
  if (!server.Start(options)) {
    std::perror("ostrevan-stub: cannot listen");
    return 1;
  }
  std::printf("port=%d\n", server.Port());
  std::fflush(stdout);

  WaitForStop(options, stop_signals);
  server.Stop();
  return 0;
}
