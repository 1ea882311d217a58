// The tool's one network operation: an HTTP GET that returns the body bytes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "runtime/text.h"

namespace ostrevan {

// How a transfer ended. Anything but Complete means the body may be partial or empty.
enum class TransferEnd {
  Complete,
  Refused,         // the URL was empty, could not be split, or has a scheme other than http(s)
  TransportError,  // no connection, a broken connection, a TLS failure, a bad reply
  TimedOut,
  ShortBody,  // fewer bytes than the Content-Length announced
  TooLarge,   // the body passed the size guard
  Cancelled,
};

struct HttpReply {
  // The bytes received: the whole body, an error page's body too, or what arrived before the
  // transfer broke off.
  ByteBuffer body;
  TransferEnd end = TransferEnd::Refused;
  // The final HTTP status, 0 when none was received.
  long status = 0;

  // A complete transfer whose final status is not an error.
  bool Succeeded() const { return end == TransferEnd::Complete && status > 0 && status < 400; }
};

// Set by another thread to end the transfer; it then ends within 200 ms as Cancelled.
using StopFlag = std::atomic<bool>;

HttpReply HttpGet(const Text& url, const StopFlag* stop = nullptr);

struct HttpLimits {
  std::chrono::milliseconds connect{15'000};
  // A transfer that receives no byte for this long is abandoned.
  std::chrono::milliseconds silence{30'000};
  std::chrono::milliseconds whole{300'000};
  std::int64_t max_body_bytes = 64LL * 1024 * 1024;
};
HttpLimits CurrentHttpLimits();
// For tests: shorter time-outs, a smaller guard.
void SetHttpLimits(const HttpLimits& limits);

// Must run before any thread that may fetch starts.
void HttpGlobalInit();
// Closes the shared session at the end of the program.
void CloseHttpSession();
// How many times the shared session has been opened in this process.
int HttpSessionOpenCount();

}  // namespace ostrevan
