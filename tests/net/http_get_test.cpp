// HttpGet against a raw loopback listener that records the exact request bytes and answers
// with scripted bytes.
#include "net/http_get.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "net/url_parts.h"

namespace ostrevan {
namespace {

using namespace std::chrono_literals;

const char kUserAgentLine[] = "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)\r\n";

// What the listener does with one request: bytes to send, then close; or hold the connection
// open without a word.
struct Script {
  std::string reply;
  bool silent = false;
};
using Responder = std::function<Script(const std::string& request)>;

class RawServer {
 public:
  explicit RawServer(Responder responder) : responder_(std::move(responder)) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length);
    listen(listen_fd_, 64);
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~RawServer() {
    stopping_ = true;
    shutdown(listen_fd_, SHUT_RDWR);
    close(listen_fd_);
    thread_.join();
    for (std::thread& t : handlers_) {
      t.join();
    }
  }
  int Port() const { return port_; }
  std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> Requests() {
    std::lock_guard guard(mutex_);
    return requests_;
  }

 private:
  void Serve() {
    while (!stopping_) {
      int fd = accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) {
        return;
      }
      handlers_.emplace_back([this, fd] { Handle(fd); });
    }
  }
  void Handle(int fd) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        close(fd);
        return;
      }
      request.append(buffer, static_cast<std::size_t>(n));
    }
    {
      std::lock_guard guard(mutex_);
      requests_.push_back(request);
    }
    Script script = responder_(request);
    if (script.silent) {
      // Hold on until the client gives up.
      while (recv(fd, buffer, sizeof buffer, 0) > 0) {
      }
    } else {
      send(fd, script.reply.data(), script.reply.size(), MSG_NOSIGNAL);
      shutdown(fd, SHUT_WR);
      while (recv(fd, buffer, sizeof buffer, 0) > 0) {
      }
    }
    close(fd);
  }

  Responder responder_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::vector<std::thread> handlers_;
  std::mutex mutex_;
  std::vector<std::string> requests_;
};

std::string Response(const std::string& status, const std::string& body,
                     const std::string& fields = "") {
  return "HTTP/1.0 " + status + "\r\n" + fields + "\r\n" + body;
}

std::string WithLength(const std::string& status, const std::string& body) {
  return Response(status, body, "Content-Length: " + std::to_string(body.size()) + "\r\n");
}

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<char>('a' + i % 26);
  }
  return bytes;
}

class HttpGetTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { HttpGlobalInit(); }
  void SetUp() override {
    unsetenv("http_proxy");
    unsetenv("HTTP_PROXY");
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
  }
  void TearDown() override {
    unsetenv("http_proxy");
    SetHttpLimits(HttpLimits{});
  }
};

TEST_F(HttpGetTest, SendsExactlyTheRequestOfTheTool) {
  RawServer server([](const std::string&) { return Script{WithLength("200 OK", "hello")}; });
  HttpReply reply = HttpGet(server.Base() + "/a/./b/../c?x=1#top");
  EXPECT_EQ(reply.body, "hello");
  EXPECT_TRUE(reply.Succeeded());
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0],
            "GET /a/c?x=1 HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n" +
                kUserAgentLine + "Accept: */*\r\n\r\n");
}

TEST_F(HttpGetTest, GoesThroughTheProxyOfTheEnvironmentInAbsoluteForm) {
  RawServer proxy([](const std::string&) { return Script{WithLength("200 OK", "via proxy")}; });
  setenv("http_proxy", proxy.Base().c_str(), 1);
  HttpReply reply = HttpGet("http://r.qzone.qq.com/fcg-bin/cgi_get_portrait.fcg?uins=10001");
  EXPECT_EQ(reply.body, "via proxy");
  ASSERT_EQ(proxy.Requests().size(), 1u);
  const std::string request = proxy.Requests()[0];
  EXPECT_EQ(
      request.rfind("GET http://r.qzone.qq.com/fcg-bin/cgi_get_portrait.fcg?uins=10001 HTTP/1.0\r\n"
                    "Host: r.qzone.qq.com\r\n",
                    0),
      0u)
      << request;
  EXPECT_NE(request.find(kUserAgentLine), std::string::npos);
  // The default port stays out of the Host field; another port goes in.
  HttpGet("http://example.test:80/x");
  HttpGet("http://example.test:81/x");
  ASSERT_EQ(proxy.Requests().size(), 3u);
  EXPECT_NE(
      proxy.Requests()[1].find("GET http://example.test/x HTTP/1.0\r\nHost: example.test\r\n"),
      std::string::npos);
  EXPECT_NE(proxy.Requests()[2].find("Host: example.test:81\r\n"), std::string::npos);
  for (const std::string& r : proxy.Requests()) {
    for (const char* absent :
         {"Accept-Encoding", "Accept-Language", "Cookie", "Referer", "\r\nConnection:"}) {
      EXPECT_EQ(r.find(absent), std::string::npos) << absent;
    }
    EXPECT_EQ(r.find("Accept: */*"), r.rfind("Accept: */*"));
  }
}

TEST_F(HttpGetTest, CredentialsOfTheUrlAnswerTheServersChallenge) {
  RawServer server([](const std::string& request) {
    if (request.find("\r\nAuthorization: Basic dXNlcjpwdw==\r\n") != std::string::npos) {
      return Script{WithLength("200 OK", "secret")};
    }
    return Script{Response("401 Unauthorized", "denied",
                           "WWW-Authenticate: Basic realm=\"r\"\r\nContent-Length: 6\r\n")};
  });
  std::string url = server.Base();
  url.insert(std::string("http://").size(), "user:pw@");
  HttpReply reply = HttpGet(url + "/private");
  EXPECT_EQ(reply.body, "secret");
  EXPECT_TRUE(reply.Succeeded());
  ASSERT_FALSE(server.Requests().empty());
  EXPECT_EQ(server.Requests()[0].find("user"), std::string::npos);
  EXPECT_EQ(server.Requests()[0].find("Authorization"), std::string::npos);
}

TEST_F(HttpGetTest, RefusedUrlsSendNothing) {
  RawServer server([](const std::string&) { return Script{WithLength("200 OK", "x")}; });
  const std::string port = std::to_string(server.Port());
  for (const std::string& url :
       std::vector<std::string>{"", "ftp://127.0.0.1:" + port + "/", "mailto:a@127.0.0.1",
                                "127.0.0.1:" + port + "/", "http://127.0.0.1:99999/"}) {
    HttpReply reply = HttpGet(url);
    EXPECT_EQ(reply.end, TransferEnd::Refused) << url;
    EXPECT_TRUE(reply.body.empty());
  }
  EXPECT_TRUE(server.Requests().empty());
}

TEST_F(HttpGetTest, ErrorPagesAndRedirectsGiveTheFinalBody) {
  RawServer server([](const std::string& request) {
    if (request.rfind("GET /missing ", 0) == 0) {
      return Script{WithLength("404 Not Found", std::string(300, 'm'))};
    }
    if (request.rfind("GET /old ", 0) == 0) {
      return Script{Response("302 Found", "moved", "Location: /new\r\nContent-Length: 5\r\n")};
    }
    if (request.rfind("GET /loop ", 0) == 0) {
      return Script{Response("302 Found", "", "Location: /loop\r\n")};
    }
    return Script{WithLength("200 OK", "new place")};
  });
  HttpReply missing = HttpGet(server.Base() + "/missing");
  EXPECT_EQ(missing.body, std::string(300, 'm'));
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.end, TransferEnd::Complete);
  EXPECT_FALSE(missing.Succeeded());

  HttpReply moved = HttpGet(server.Base() + "/old");
  EXPECT_EQ(moved.body, "new place");
  EXPECT_EQ(moved.status, 200);
  EXPECT_TRUE(moved.Succeeded());

  HttpReply loop = HttpGet(server.Base() + "/loop");
  EXPECT_FALSE(loop.Succeeded());
}

TEST_F(HttpGetTest, BodiesOfEveryLengthComeBackWhole) {
  const struct {
    const char* name;
    std::string reply;
    std::string body;
    TransferEnd end;
  } cases[] = {
      {"250000_without_length", Response("200 OK", Pattern(250'000)), Pattern(250'000),
       TransferEnd::Complete},
      {"500000_with_length", WithLength("200 OK", Pattern(500'000)), Pattern(500'000),
       TransferEnd::Complete},
      {"length_0_no_body", Response("200 OK", "", "Content-Length: 0\r\n"), "",
       TransferEnd::Complete},
      {"length_0_with_body", Response("200 OK", "abc", "Content-Length: 0\r\n"), "abc",
       TransferEnd::Complete},
      {"negative_length", Response("200 OK", "abc", "Content-Length: -5\r\n"), "abc",
       TransferEnd::Complete},
      {"garbage_length", Response("200 OK", "abc", "Content-Length: lots\r\n"), "abc",
       TransferEnd::Complete},
      {"break_after_3000_of_10000", Response("200 OK", Pattern(3'000), "Content-Length: 10000\r\n"),
       Pattern(3'000), TransferEnd::ShortBody},
  };
  for (const auto& c : cases) {
    RawServer server([&](const std::string&) { return Script{c.reply}; });
    HttpReply reply = HttpGet(server.Base() + "/");
    EXPECT_EQ(reply.body.size(), c.body.size()) << c.name;
    EXPECT_TRUE(reply.body == c.body) << c.name;
    EXPECT_EQ(reply.end, c.end) << c.name;
  }
}

TEST_F(HttpGetTest, SilentServersTimeOutAndCancelledTransfersEndAtOnce) {
  RawServer server([](const std::string&) { return Script{"", true}; });
  HttpLimits limits;
  limits.silence = 300ms;
  SetHttpLimits(limits);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(HttpGet(server.Base() + "/").end, TransferEnd::TimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

  SetHttpLimits(HttpLimits{});
  StopFlag stop{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    stop = true;
  });
  start = std::chrono::steady_clock::now();
  HttpReply cancelled = HttpGet(server.Base() + "/", &stop);
  auto elapsed = std::chrono::steady_clock::now() - start;
  stopper.join();
  EXPECT_EQ(cancelled.end, TransferEnd::Cancelled);
  EXPECT_LT(elapsed, 2s);
}

TEST_F(HttpGetTest, BodiesBeyondTheSizeGuardFail) {
  RawServer server([](const std::string&) { return Script{Response("200 OK", Pattern(50'000))}; });
  HttpLimits limits;
  limits.max_body_bytes = 10'000;
  SetHttpLimits(limits);
  HttpReply reply = HttpGet(server.Base() + "/");
  EXPECT_EQ(reply.end, TransferEnd::TooLarge);
  EXPECT_LE(reply.body.size(), 10'000u);
}

TEST(HttpSession, ConcurrentFirstCallsOpenOneSession) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A fresh process, so that these are really the first calls.
  EXPECT_EXIT(
      {
        HttpGlobalInit();
        bool one_session = false;
        {
          RawServer server([](const std::string&) { return Script{WithLength("200 OK", "x")}; });
          std::vector<std::thread> threads;
          for (int i = 0; i < 20; ++i) {
            threads.emplace_back([&] { HttpGet(server.Base() + "/"); });
          }
          for (std::thread& t : threads) {
            t.join();
          }
          one_session = HttpSessionOpenCount() == 1 && server.Requests().size() == 20;
        }
        // Every thread has been joined by now, so that nothing runs while the process ends.
        std::exit(one_session ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  EXPECT_EXIT(
      {
        HttpGet("");
        std::exit(HttpSessionOpenCount() == 0 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

struct UrlCase {
  const char* url;
  bool accepted;
  const char* transport_url;  // TransportUrl of the parts when accepted
  friend void PrintTo(const UrlCase& c, std::ostream* os) { *os << c.url; }
};

const UrlCase kUrlCases[] = {
    {"http://h/a/b?x=1#top", true, "http://h/a/b?x=1"},
    {"http://h/a/./b/../../c/", true, "http://h/c/"},
    {"http://h/..", true, "http://h/"},
    {"http://h", true, "http://h/"},
    {"http://h?q=1", true, "http://h/?q=1"},
    {"HTTP://h:80/x", true, "http://h/x"},
    {"https://h:443/x", true, "https://h/x"},
    {"http://h:81/x", true, "http://h:81/x"},
    {"http://user:pw@h/x", true, "http://h/x"},
    {"http://h/a b?n=\x01\x7F\xD0\xA1", true, "http://h/a%20b?n=%01%7F%D0%A1"},
    {"http://h/%41?\"<>{}", true, "http://h/%41?\"<>{}"},
    {"ftp://h/", false, ""},
    {"mailto:a@h", false, ""},
    {"h/x", false, ""},
    {"http://h:0/", false, ""},
    {"http://h:65536/", false, ""},
    {"http://h:8x/", false, ""},
    {"http:///x", false, ""},
};

class SplitUrlTest : public testing::TestWithParam<UrlCase> {};

TEST_P(SplitUrlTest, TakesTheUrlApart) {
  auto parts = SplitUrl(GetParam().url);
  ASSERT_EQ(parts.has_value(), GetParam().accepted);
  if (parts) {
    EXPECT_EQ(TransportUrl(*parts), GetParam().transport_url);
  }
}

INSTANTIATE_TEST_SUITE_P(Urls, SplitUrlTest, testing::ValuesIn(kUrlCases));

TEST(SplitUrl, KeepsCredentialsAndTheRoomOfEachPart) {
  auto parts = SplitUrl("http://user:pw@h:8080/x");
  ASSERT_TRUE(parts);
  EXPECT_EQ(parts->user_name, "user");
  EXPECT_EQ(parts->password, "pw");
  EXPECT_EQ(parts->port, 8080);
  EXPECT_TRUE(SplitUrl("http://" + std::string(255, 'h') + "/"));
  EXPECT_FALSE(SplitUrl("http://" + std::string(256, 'h') + "/"));
  EXPECT_TRUE(SplitUrl("http://h/" + std::string(2046, 'p')));
  EXPECT_FALSE(SplitUrl("http://h/" + std::string(2047, 'p')));
  EXPECT_FALSE(SplitUrl("http://" + std::string(128, 'u') + "@h/"));
}

}  // namespace
}  // namespace ostrevan
