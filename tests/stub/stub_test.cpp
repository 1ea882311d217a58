// The stand-in service, spoken to over a plain socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "stub_server.h"

namespace ostrevan::stub {
namespace {

const char kPortraitPath[] = "/fcg-bin/cgi_get_portrait.fcg?uins=";
const char kAvatarPath[] = "/headimg_dl?bs=qq&dst_uin=";
const char kAvatarTail[] = "&src_uin=*&fid=*&spec=100&url_enc=0&referer=bu_interface&term_type=PC";

int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int SendRequest(int port, const std::string& target) {
  int fd = Connect(port);
  if (fd >= 0) {
    std::string request = "GET " + target + " HTTP/1.0\r\nHost: r.qzone.qq.com\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  }
  return fd;
}

// Reads up to limit bytes or to the close, and closes.
std::string ReadAnswer(int fd, std::size_t limit = std::string::npos) {
  std::string answer;
  char buffer[8192];
  for (ssize_t n; answer.size() < limit && (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return answer;
}

std::string Exchange(int port, const std::string& target) {
  int fd = SendRequest(port, target);
  return fd < 0 ? std::string() : ReadAnswer(fd);
}

std::string Avatar(const std::string& number) {
  return std::string(kAvatarPath) + number + kAvatarTail;
}

std::string BodyOf(const std::string& answer) {
  return answer.substr(answer.find("\r\n\r\n") + 4);
}
std::string HeadOf(const std::string& answer) {
  return answer.substr(0, answer.find("\r\n\r\n") + 2);
}

class StubTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start()); }
  void TearDown() override { server_.Stop(); }
  StubServer server_;
};

TEST_F(StubTest, AnswersBothEndpointsInOriginAndProxyForm) {
  for (const std::string prefix : {"", "http://r.qzone.qq.com"}) {
    std::string portrait = Exchange(server_.Port(), prefix + kPortraitPath + "10001");
    EXPECT_EQ(BodyOf(portrait), PortraitReplyFor("10001"));
    EXPECT_EQ(portrait.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    std::string avatar = Exchange(server_.Port(), prefix + kAvatarPath + "10001" + kAvatarTail);
    EXPECT_EQ(BodyOf(avatar), AvatarImageFor("10001"));
  }
  EXPECT_EQ(server_.RequestCount(), 4);
}

TEST_F(StubTest, RepliesAreThoseOfTheServiceAndDifferPerNumber) {
  EXPECT_EQ(PortraitReplyFor("7").rfind("portraitCallBack({\"7\":[", 0), 0u);
  EXPECT_NE(AvatarImageFor("10001"), AvatarImageFor("10002"));
  EXPECT_EQ(AvatarImageFor("10001").substr(0, 3), "\xFF\xD8\xFF");
  EXPECT_EQ(AvatarImageFor("10001").substr(AvatarImageFor("10001").size() - 2), "\xFF\xD9");
}

// Plain numbers meet the awkward nicknames: escapes in the reply, and a GBK character whose
// second byte is a backslash, which travels unescaped.
TEST_F(StubTest, AwkwardNicknamesTravelAsTheServiceSendsThem) {
  const struct {
    std::string shown;
    std::string in_reply;
  } cases[] = {
      {"say\"hi", "say\\\"hi"},
      {"back\\slash", "back\\\\slash"},
      {"\xD5\x5C\xD0\xC4", "\xD5\x5C\xD0\xC4"},
      {"\xD0\xA1\xC3\xF7", "\xD0\xA1\xC3\xF7"},
  };
  for (const auto& c : cases) {
    std::string number;
    for (int n = 10000; n < 10100 && number.empty(); ++n) {
      if (NicknameFor(std::to_string(n)) == c.shown) {
        number = std::to_string(n);
      }
    }
    ASSERT_FALSE(number.empty()) << c.shown;
    std::string reply = PortraitReplyFor(number);
    EXPECT_EQ(reply.substr(reply.size() - c.in_reply.size() - 7), "\"" + c.in_reply + "\",0]})");
  }
}

TEST_F(StubTest, ScriptedFaults) {
  const std::string portrait = kPortraitPath;
  const struct {
    std::string target;
    const char* head_has;
  } cases[] = {
      {portrait + "fault-404-1", "HTTP/1.0 404"},
      {portrait + "fault-500-1", "HTTP/1.0 500"},
      {portrait + "fault-redirect-5",
       "Location: http://r.qzone.qq.com/fcg-bin/cgi_get_portrait.fcg?uins=5\r"},
      {portrait + "fault-loop-5",
       "Location: http://r.qzone.qq.com/fcg-bin/cgi_get_portrait.fcg?uins=fault-loop-5\r"},
      {Avatar("fault-redirect-5"), "Location: http://r.qzone.qq.com/headimg_dl?bs=qq&dst_uin=5&"},
      {Avatar("fault-notimage-1"),
       "HTTP/1.0 200 OK\r\nServer: ostrevan-stub\r\nContent-Type: text/html"},
      {portrait + "fault-badlen-1", "Content-Length: lots"},
      {portrait + "fault-empty-1", "Content-Length: 0\r\n"},
  };
  for (const auto& c : cases) {
    std::string answer = Exchange(server_.Port(), c.target);
    EXPECT_NE(HeadOf(answer).find(c.head_has), std::string::npos) << c.target << "\n" << answer;
  }
  std::string nolen = Exchange(server_.Port(), portrait + "fault-nolen-1");
  EXPECT_EQ(HeadOf(nolen).find("Content-Length"), std::string::npos);
  EXPECT_EQ(BodyOf(nolen), PortraitReplyFor("fault-nolen-1"));
  std::string cut = Exchange(server_.Port(), portrait + "fault-short-1");
  EXPECT_NE(HeadOf(cut).find("Content-Length: " +
                             std::to_string(PortraitReplyFor("fault-short-1").size() * 10)),
            std::string::npos);
  EXPECT_EQ(BodyOf(cut), PortraitReplyFor("fault-short-1"));
}

TEST_F(StubTest, AHugeBodyEndsWhenItsClientLeaves) {
  int fd = SendRequest(server_.Port(), Avatar("fault-huge-1"));
  ASSERT_GE(fd, 0);
  std::string start = ReadAnswer(fd, 1 << 20);
  EXPECT_EQ(start.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
  EXPECT_EQ(HeadOf(start).find("Content-Length"), std::string::npos);
  EXPECT_EQ(BodyOf(Exchange(server_.Port(), Avatar("10001"))), AvatarImageFor("10001"));
}

TEST_F(StubTest, DelaysOnlyTheRepliesItIsToldTo) {
  auto start = std::chrono::steady_clock::now();
  Exchange(server_.Port(), std::string(kPortraitPath) + "fault-delay-300-1");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

// Delayed replies wait side by side: a hundred of them take about one delay, not a hundred.
TEST(StubDelay, EveryReplyWaitsAndAllWaitTogether) {
  StubServer server;
  StubOptions options;
  options.reply_delay_ms = 400;
  ASSERT_TRUE(server.Start(options));
  auto start = std::chrono::steady_clock::now();
  std::vector<int> fds;
  for (int i = 0; i < 100; ++i) {
    fds.push_back(SendRequest(server.Port(), std::string(kPortraitPath) + std::to_string(i)));
  }
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(BodyOf(ReadAnswer(fds[static_cast<std::size_t>(i)])),
              PortraitReplyFor(std::to_string(i)));
  }
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(400));
  EXPECT_LT(took, std::chrono::seconds(20));
}

TEST(StubLifetime, StopAndTheEndOfItsLifetimeCloseThePort) {
  StubServer stopped;
  ASSERT_TRUE(stopped.Start());
  int port = stopped.Port();
  stopped.Stop();
  EXPECT_EQ(Connect(port), -1);

  StubServer brief;
  StubOptions options;
  options.lifetime_seconds = 0.2;
  ASSERT_TRUE(brief.Start(options));
  brief.Wait();
  EXPECT_EQ(Connect(brief.Port()), -1);
}

}  // namespace
}  // namespace ostrevan::stub
