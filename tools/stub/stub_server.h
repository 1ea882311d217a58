// A stand-in for the QQ web service on 127.0.0.1, for tests, benchmarks and the offline demo.
//
// It answers origin-form requests and absolute-form requests alike, so the tool can reach it as
// its HTTP proxy (http_proxy=http://127.0.0.1:PORT) in place of the real hosts.
#pragma once

#include <memory>
#include <string>

namespace ostrevan::stub {

// The endpoints: /fcg-bin/cgi_get_portrait.fcg?uins=N answers in the service's shape, with the
// nickname in GBK; /headimg_dl?...&dst_uin=N&... answers with a small JPEG. Both are the same
// for the same number. A number of the form fault-<kind>[-<ms>]-<id> scripts what goes wrong:
//   404, 500   that status, with an HTML body
//   short      a Content-Length ten times the body, then the connection closes
//   delay-MS   the normal answer after MS milliseconds
//   redirect   a 302 to the same endpoint for <id>
//   loop       a 302 to itself, for ever
//   nolen      no Content-Length; the close ends the body
//   badlen     a Content-Length that is no number
//   huge       200 MiB without Content-Length, generated as the socket drains
//   empty      status 200 and no body
//   notimage   status 200 and a login page

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
  // Returns when the server has stopped, by Stop or at the end of its lifetime.
  void Wait();
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
