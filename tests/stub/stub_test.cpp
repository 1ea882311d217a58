// The stand-in service, spoken to over a plain socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

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

// Sends one request and reads the answer to the close.
std::string Exchange(int port, const std::string& target) {
  int fd = Connect(port);
  if (fd < 0) {
    return "";
  }
  std::string request = "GET " + target + " HTTP/1.0\r\nHost: r.qzone.qq.com\r\n\r\n";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string answer;
  char buffer[8192];
  for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return answer;
}

std::string BodyOf(const std::string& answer) {
  return answer.substr(answer.find("\r\n\r\n") + 4);
}
std::string HeadOf(const std::string& answer) {
  return answer.substr(0, answer.find("\r\n\r\n"));
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

TEST_F(StubTest, ScriptedFaults) {
  const struct {
    const char* number;
    const char* head_has;
    std::size_t body_size;  // 0: not checked
  } cases[] = {
      {"fault-404-1", "HTTP/1.0 404", 0},
      {"fault-500-1", "HTTP/1.0 500", 0},
      {"fault-redirect-5", "Location: http://r.qzone.qq.com/fcg-bin/cgi_get_portrait.fcg?uins=5",
       0},
      {"fault-badlen-1", "Content-Length: lots", 0},
      {"fault-empty-1", "Content-Length: 0", 0},
  };
  for (const auto& c : cases) {
    std::string answer = Exchange(server_.Port(), std::string(kPortraitPath) + c.number);
    EXPECT_NE(HeadOf(answer).find(c.head_has), std::string::npos) << c.number << "\n" << answer;
  }
  std::string nolen = Exchange(server_.Port(), std::string(kPortraitPath) + "fault-nolen-1");
  EXPECT_EQ(HeadOf(nolen).find("Content-Length"), std::string::npos);
  EXPECT_EQ(BodyOf(nolen), PortraitReplyFor("fault-nolen-1"));
  std::string cut = Exchange(server_.Port(), std::string(kPortraitPath) + "fault-short-1");
  EXPECT_NE(HeadOf(cut).find("Content-Length: " +
                             std::to_string(PortraitReplyFor("fault-short-1").size() * 10)),
            std::string::npos);
  EXPECT_EQ(BodyOf(cut), PortraitReplyFor("fault-short-1"));
}

TEST_F(StubTest, DelaysOnlyTheRepliesItIsToldTo) {
  auto start = std::chrono::steady_clock::now();
  Exchange(server_.Port(), std::string(kPortraitPath) + "fault-delay-300-1");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
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
