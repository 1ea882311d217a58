// A stand-in for the QQ web service on 127.0.0.1, for tests, benchmarks and the offline demo.
//
// It answers origin-form requests and absolute-form requests alike, so the tool can reach it as
// its HTTP proxy (http_proxy=http://127.0.0.1:PORT) in place of the real hosts.
#pragma once

#include <memory>
#include <string>

namespace ostrevan::stub {

struct StubOptions {
  int port = 0;                 // 0: the system picks one
  double lifetime_seconds = 0;  // 0: until Stop
  int reply_delay_ms = 0;       // added to every reply
};

class StubServer {
 public:
  StubServer();
  ~StubServer();
  StubServer(const StubServer&) = delete;
  StubServer& operator=(const StubServer&) = delete;

  // Starts listening and serving on a thread of its own; false when the port cannot be bound.
  bool Start(const StubOptions& options = {});
  void Stop();
  int Port() const;
  // Requests served so far.
  long long RequestCount() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// What the service answers for a number, so that tests can compare bytes.
std::string NicknameFor(const std::string& number);  // GBK bytes
std::string PortraitReplyFor(const std::string& number);
std::string AvatarImageFor(const std::string& number);

}  // namespace ostrevan::stub
