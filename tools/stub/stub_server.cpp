#include "stub_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <queue>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

namespace ostrevan::stub {
namespace {

#include "base_jpeg.inc"

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxHead = 16 * 1024;
constexpr long long kHugeBodyBytes = 200LL * 1024 * 1024;

// The nicknames the service hands out, as the tool should show them (GBK), and as they travel
// inside the reply's string literal.
struct Nickname {
  const char* shown;
  const char* escaped;
};
const Nickname kNicknames[] = {
    {"\xD0\xA1\xC3\xF7", "\xD0\xA1\xC3\xF7"},  // 小明
    {"\xD5\xC5\xC8\xFD", "\xD5\xC5\xC8\xFD"},  // 张三
    {"Alice", "Alice"},                        //
    {"say\"hi", "say\\\"hi"},                  // a quote inside
    {"back\\slash", "back\\\\slash"},          // a backslash inside
    {"\xD5\x5C\xD0\xC4", "\xD5\x5C\xD0\xC4"},  // 誠心: 0x5C as second byte
    {"\xCD\xF5\xC0\xDA", "\xCD\xF5\xC0\xDA"},  // 王磊
};

const Nickname& NicknameOf(const std::string& number) {
  unsigned sum = 0;
  for (unsigned char c : number) {
    sum = sum * 31 + c;
  }
  return kNicknames[sum % (sizeof kNicknames / sizeof kNicknames[0])];
}

std::string HtmlPage(int status) {
  std::string body = "<html><head><title>" + std::to_string(status) + "</title></head><body><h1>" +
                     std::to_string(status) + "</h1>";
  body.append(200, ' ');
  return body + "</body></html>\n";
}

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 302:
      return "Found";
    case 404:
      return "Not Found";
    default:
      return "Internal Server Error";
  }
}

// What one request is answered with.
struct Reply {
  int status = 200;
  std::string content_type = "text/html";
  std::string body;
  std::string location;
  enum class Length { Exact, None, Garbage, Longer } length = Length::Exact;
  long long streamed = 0;  // bytes generated after the head instead of a body
  int delay_ms = 0;
};

std::string Head(const Reply& reply) {
  std::string head = "HTTP/1.0 " + std::to_string(reply.status) + " " + Reason(reply.status) +
                     "\r\nServer: ostrevan-stub\r\nContent-Type: " + reply.content_type +
                     "\r\nConnection: close\r\n";
  if (!reply.location.empty()) {
    head += "Location: " + reply.location + "\r\n";
  }
  switch (reply.length) {
    case Reply::Length::Exact:
      head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
      break;
    case Reply::Length::Longer:
      head += "Content-Length: " + std::to_string(reply.body.size() * 10) + "\r\n";
      break;
    case Reply::Length::Garbage:
      head += "Content-Length: lots\r\n";
      break;
    case Reply::Length::None:
      break;
  }
  return head + "\r\n";
}

std::string QueryValue(std::string_view query, std::string_view key) {
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = std::min(query.find('&', start), query.size());
    std::string_view pair = query.substr(start, end - start);
    if (pair.substr(0, key.size()) == key && pair.size() > key.size() && pair[key.size()] == '=') {
      return std::string(pair.substr(key.size() + 1));
    }
    start = end + 1;
  }
  return std::string();
}

// Numbers of the form fault-<kind>[-<arg>]-<id> script what goes wrong.
struct Fault {
  std::string kind;
  int arg = 0;
  std::string id;
};

Fault ParseFault(const std::string& number) {
  Fault fault;
  if (number.rfind("fault-", 0) != 0) {
    fault.id = number;
    return fault;
  }
  std::string rest = number.substr(6);
  std::size_t dash = rest.find('-');
  fault.kind = rest.substr(0, dash);
  rest = dash == std::string::npos ? std::string() : rest.substr(dash + 1);
  if (fault.kind == "delay") {
    std::size_t next = rest.find('-');
    fault.arg = std::atoi(rest.substr(0, next).c_str());
    rest = next == std::string::npos ? std::string() : rest.substr(next + 1);
  }
  fault.id = rest;
  return fault;
}

Reply NormalReply(bool avatar, const std::string& number) {
  Reply reply;
  if (avatar) {
    reply.content_type = "image/jpeg";
    reply.body = AvatarImageFor(number);
  } else {
    reply.content_type = "text/html; charset=GBK";
    reply.body = PortraitReplyFor(number);
  }
  return reply;
}

// The query the tool sends for a number, so that a redirect leads to a request like its own.
std::string RequestQuery(bool avatar, const std::string& number) {
  if (avatar) {
    return "bs=qq&dst_uin=" + number +
           "&src_uin=*&fid=*&spec=100&url_enc=0&referer=bu_interface&term_type=PC";
  }
  return "uins=" + number;
}

Reply FaultReply(bool avatar, const std::string& number, const std::string& host,
                 const std::string& path) {
  Fault fault = ParseFault(number);
  Reply reply = NormalReply(avatar, number);
  auto redirect_to = [&](const std::string& to) {
    reply = Reply();
    reply.status = 302;
    reply.location = "http://" + host + path + "?" + RequestQuery(avatar, to);
    reply.body = "moved";
  };
  if (fault.kind == "404" || fault.kind == "500") {
    reply = Reply();
    reply.status = std::atoi(fault.kind.c_str());
    reply.body = HtmlPage(reply.status);
  } else if (fault.kind == "short") {
    reply.length = Reply::Length::Longer;
  } else if (fault.kind == "delay") {
    reply.delay_ms = fault.arg;
  } else if (fault.kind == "redirect") {
    redirect_to(fault.id);
  } else if (fault.kind == "loop") {
    redirect_to(number);
  } else if (fault.kind == "nolen") {
    reply.length = Reply::Length::None;
  } else if (fault.kind == "badlen") {
    reply.length = Reply::Length::Garbage;
  } else if (fault.kind == "huge") {
    reply.body.clear();
    reply.length = Reply::Length::None;
    reply.streamed = kHugeBodyBytes;
  } else if (fault.kind == "empty") {
    reply.body.clear();
  } else if (fault.kind == "notimage") {
    reply.content_type = "text/html";
    reply.body = "<html><body><form action=\"/login\">Please log in</form></body></html>";
  }
  return reply;
}

// Takes "GET <target> HTTP/1.x" apart; an absolute-form target (a proxy request) gives its host.
bool ParseRequestLine(std::string_view head, std::string& host, std::string& path,
                      std::string& query) {
  std::size_t line_end = head.find("\r\n");
  std::string_view line = head.substr(0, line_end);
  std::size_t first = line.find(' ');
  std::size_t last = line.rfind(' ');
  if (first == std::string_view::npos || last <= first) {
    return false;
  }
  std::string_view target = line.substr(first + 1, last - first - 1);
  if (target.rfind("http://", 0) == 0) {
    target.remove_prefix(7);
    std::size_t slash = std::min(target.find('/'), target.size());
    host = std::string(target.substr(0, slash));
    target.remove_prefix(slash);
  } else {
    std::size_t at = head.find("\r\nHost: ");
    if (at != std::string_view::npos) {
      std::size_t end = head.find("\r\n", at + 8);
      host = std::string(head.substr(at + 8, end - at - 8));
    }
  }
  std::size_t question = target.find('?');
  path = std::string(target.substr(0, question));
  query =
      question == std::string_view::npos ? std::string() : std::string(target.substr(question + 1));
  return true;
}

// A request without a host is redirected to this server itself.
Reply Answer(std::string_view head, int port) {
  std::string host, path, query;
  if (!ParseRequestLine(head, host, path, query)) {
    Reply bad;
    bad.status = 500;
    bad.body = HtmlPage(500);
    return bad;
  }
  if (host.empty()) {
    host = "127.0.0.1:" + std::to_string(port);
  }
  if (path == "/fcg-bin/cgi_get_portrait.fcg") {
    return FaultReply(false, QueryValue(query, "uins"), host, path);
  }
  if (path == "/headimg_dl") {
    return FaultReply(true, QueryValue(query, "dst_uin"), host, path);
  }
  Reply missing;
  missing.status = 404;
  missing.body = HtmlPage(404);
  return missing;
}

struct Connection {
  std::uint64_t serial = 0;
  std::string in;
  std::string out;
  std::size_t sent = 0;
  long long stream_left = 0;
  bool answered = false;
};

void RaiseOwnFileLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

struct StubServer::Impl {
  StubOptions options;
  int listen_fd = -1;
  int epoll_fd = -1;
  int wake_fd = -1;
  int port = 0;
  std::atomic<long long> requests{0};
  std::thread thread;
  std::map<int, Connection> connections;
  std::uint64_t next_serial = 0;
  // A delayed answer names its connection by descriptor and serial, since a descriptor is
  // reused as soon as its client has gone.
  using Due = std::tuple<Clock::time_point, int, std::uint64_t>;
  std::priority_queue<Due, std::vector<Due>, std::greater<>> delayed;

  void Close(int fd) {
    epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    connections.erase(fd);
  }

  void Accept() {
    for (;;) {
      int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        return;
      }
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      epoll_event event{};
      event.events = EPOLLIN | EPOLLRDHUP;
      event.data.fd = fd;
      epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event);
      connections[fd].serial = ++next_serial;
    }
  }

  void WantWrite(int fd, bool write) {
    epoll_event event{};
    event.events = (write ? std::uint32_t{EPOLLOUT} : std::uint32_t{EPOLLIN}) | EPOLLRDHUP;
    event.data.fd = fd;
    epoll_ctl(epoll_fd, EPOLL_CTL_MOD, fd, &event);
  }

  // Sends what is queued, then the generated bytes of a streamed body; closes when all is out.
  void Flush(int fd) {
    Connection& c = connections[fd];
    for (;;) {
      if (c.sent == c.out.size()) {
        if (c.stream_left <= 0) {
          Close(fd);
          return;
        }
        std::size_t chunk = static_cast<std::size_t>(std::min<long long>(c.stream_left, 65536));
        c.out.assign(chunk, 'x');
        c.sent = 0;
        c.stream_left -= static_cast<long long>(chunk);
      }
      ssize_t n = send(fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        WantWrite(fd, true);
        return;
      }
      if (n <= 0) {
        Close(fd);
        return;
      }
      c.sent += static_cast<std::size_t>(n);
    }
  }

  void Respond(int fd, const Reply& reply) {
    Connection& c = connections[fd];
    c.out = Head(reply) + reply.body;
    c.stream_left = reply.streamed;
    c.sent = 0;
    Flush(fd);
  }

  void Read(int fd) {
    Connection& c = connections[fd];
    char buffer[4096];
    for (;;) {
      ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        c.in.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        break;
      }
      Close(fd);  // the client went away
      return;
    }
    if (c.answered) {
      return;
    }
    std::size_t end = c.in.find("\r\n\r\n");
    if (end == std::string::npos) {
      if (c.in.size() > kMaxHead) {
        Close(fd);
      }
      return;
    }
    c.answered = true;
    ++requests;
    Reply reply = Answer(std::string_view(c.in).substr(0, end + 2), port);
    int delay = reply.delay_ms + options.reply_delay_ms;
    if (delay > 0) {
      delayed.emplace(Clock::now() + std::chrono::milliseconds(delay), fd, c.serial);
      return;
    }
    Respond(fd, reply);
  }

  // Answers the delayed requests whose time has come; the answer is worked out again then,
  // which costs nothing and keeps no reply waiting in memory.
  int ServeDue() {
    while (!delayed.empty()) {
      auto [due, fd, serial] = delayed.top();
      auto now = Clock::now();
      if (due > now) {
        return static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1);
      }
      delayed.pop();
      auto found = connections.find(fd);
      if (found == connections.end() || found->second.serial != serial) {
        continue;
      }
      Reply reply = Answer(std::string_view(found->second.in), port);
      Respond(fd, reply);
    }
    return -1;
  }

  void Loop() {
    auto end = options.lifetime_seconds > 0
                   ? Clock::now() + std::chrono::milliseconds(
                                        static_cast<long long>(options.lifetime_seconds * 1000))
                   : Clock::time_point::max();
    std::vector<epoll_event> events(256);
    for (;;) {
      int timeout = ServeDue();
      if (end != Clock::time_point::max()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) {
          return;
        }
        timeout = timeout < 0 ? static_cast<int>(left.count())
                              : std::min(timeout, static_cast<int>(left.count()));
      }
      int n = epoll_wait(epoll_fd, events.data(), static_cast<int>(events.size()), timeout);
      for (int i = 0; i < n; ++i) {
        int fd = events[static_cast<std::size_t>(i)].data.fd;
        std::uint32_t what = events[static_cast<std::size_t>(i)].events;
        if (fd == wake_fd) {
          return;
        }
        if (fd == listen_fd) {
          Accept();
          continue;
        }
        if (connections.count(fd) == 0) {
          continue;
        }
        if (what & EPOLLOUT) {
          WantWrite(fd, false);
          Flush(fd);
        } else if (what & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
          Read(fd);
        }
      }
    }
  }

  // Ends the service: the port and every connection close. The wake-up descriptor stays open
  // until Stop, which may still be writing to it.
  void CloseConnections() {
    for (auto& [fd, connection] : connections) {
      close(fd);
    }
    connections.clear();
    CloseDescriptor(listen_fd);
  }

  static void CloseDescriptor(int& fd) {
    if (fd >= 0) {
      close(fd);
      fd = -1;
    }
  }

  void CloseAll() {
    CloseConnections();
    CloseDescriptor(epoll_fd);
    CloseDescriptor(wake_fd);
  }
};

StubServer::StubServer() : impl_(std::make_unique<Impl>()) {}

StubServer::~StubServer() {
  Stop();
}

bool StubServer::Start(const StubOptions& options) {
  Impl& s = *impl_;
  RaiseOwnFileLimit();
  s.options = options;
  s.listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(s.listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(options.port));
  socklen_t length = sizeof address;
  if (s.listen_fd < 0 || bind(s.listen_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(s.listen_fd, 4096) != 0 ||
      getsockname(s.listen_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    s.CloseAll();
    return false;
  }
  s.port = ntohs(address.sin_port);
  s.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  s.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  for (int fd : {s.listen_fd, s.wake_fd}) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    epoll_ctl(s.epoll_fd, EPOLL_CTL_ADD, fd, &event);
  }
  s.thread = std::thread([&s] {
    s.Loop();
    s.CloseConnections();
  });
  return true;
}

void StubServer::Stop() {
  Impl& s = *impl_;
  if (s.thread.joinable()) {
    std::uint64_t one = 1;
    if (write(s.wake_fd, &one, sizeof one) < 0) {
      // The loop also ends when its lifetime is over; join waits for that.
    }
    s.thread.join();
  }
  s.CloseAll();
}

void StubServer::Wait() {
  if (impl_->thread.joinable()) {
    impl_->thread.join();
  }
}

int StubServer::Port() const {
  return impl_->port;
}

long long StubServer::RequestCount() const {
  return impl_->requests.load();
}

std::string NicknameFor(const std::string& number) {
  return NicknameOf(number).shown;
}

std::string PortraitReplyFor(const std::string& number) {
  return "portraitCallBack({\"" + number + "\":[\"http://qlogo.example/qq/" + number +
         "/100\",-1,-1,0,0,0,\"" + NicknameOf(number).escaped + "\",0]})";
}

std::string AvatarImageFor(const std::string& number) {
  std::string image(reinterpret_cast<const char*>(kBaseJpeg), sizeof kBaseJpeg);
  // A comment segment right after the start-of-image marker keeps the image valid and makes
  // every number's bytes its own.
  std::string comment = "avatar of " + number.substr(0, 1000);
  std::size_t length = comment.size() + 2;
  std::string segment = "\xFF\xFE";
  segment += static_cast<char>(length >> 8);
  segment += static_cast<char>(length & 0xFF);
  image.insert(2, segment + comment);
  return image;
}

}  // namespace ostrevan::stub
