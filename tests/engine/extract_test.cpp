#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "engine/batch.h"

namespace ostrevan {
namespace {

struct ExtractCase {
  const char* name;
  Text reply;
  Text nickname;
  friend void PrintTo(const ExtractCase& c, std::ostream* os) { *os << c.name; }
};

// Q stands for the double quote in the names; the replies are the service's shape.
const ExtractCase kExtractCases[] = {
    {"worked_example", R"(f({"5":["u",0,"abc",0]}))", "abc"},
    {"last_literal_before_last_comma", R"(x("a","b",1))", "b"},
    {"no_comma", "no comma here", ""},
    {"empty_reply", "", ""},
    {"comma_at_byte_1", ",abc", ""},
    {"comma_at_byte_2", "a,bc", ""},
    {"head_without_quote", "abc,def,1", "abc,de"},
    {"escaped_quote", R"(cb({"1":["u",-1,-1,0,0,0,"say\"hi",0]}))", "say\"hi"},
    {"escaped_backslash_before_closing_quote", R"(cb({"1":["u",0,"ab\\",0]}))", "ab\\"},
    {"escaped_slash", R"(cb({"1":["u",0,"a\/b",0]}))", "a/b"},
    {"other_escape_kept", R"(cb({"1":["u",0,"\u4e2d",0]}))", "\\u4e2d"},
    {"gbk_bytes_unchanged", "cb({\"1\":[\"u\",0,\"\xD0\xA1\xC3\xF7\",0]})", "\xD0\xA1\xC3\xF7"},
    // 0x5C as the second byte of a GBK character is no escape of the quote after it.
    {"gbk_second_byte_0x5c", "cb({\"1\":[\"u\",0,\"\xB1\x5C\",0]})", "\xB1\x5C"},
    {"gbk_0x5c_then_escaped_quote", "cb({\"1\":[\"u\",0,\"\xB1\x5C\\\"x\",0]})", "\xB1\x5C\"x"},
};

class ExtractNicknameTest : public testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractNicknameTest, CutsTheNicknameOutOfTheReply) {
  EXPECT_EQ(ExtractNickname(GetParam().reply), GetParam().nickname);
}

INSTANTIATE_TEST_SUITE_P(Replies, ExtractNicknameTest, testing::ValuesIn(kExtractCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ImageSignature, KnowsTheCommonFormatsAndNothingElse) {
  using namespace std::string_literals;
  const std::pair<ByteBuffer, bool> cases[] = {
      {"\xFF\xD8\xFF\xE0rest"s, true},
      {"\x89PNG\r\n\x1A\n...."s, true},
      {"GIF89a..."s, true},
      {"GIF87a..."s, true},
      {"RIFF\x10\0\0\0WEBPVP8 "s, true},
      {"BM\x36\0\0\0"s, true},
      {""s, false},
      {"\xFF\xD8"s, false},
      {"<html><body>Please log in</body></html>"s, false},
      {"RIFF\x10\0\0\0WAVE"s, false},
  };
  for (const auto& [body, image] : cases) {
    EXPECT_EQ(LooksLikeImage(body), image) << testing::PrintToString(body);
  }
}

TEST(EndpointUrls, AreTheServiceRequestsByteForByte) {
  EXPECT_EQ(NicknameUrl("10001"), "http://r.qzone.qq.com/fcg-bin/cgi_get_portrait.fcg?uins=10001");
  EXPECT_EQ(AvatarUrl("10001"),
            "http://q1.qlogo.cn/headimg_dl?bs=qq&dst_uin=10001&src_uin=*&fid=*&spec=100&url_enc=0"
            "&referer=bu_interface&term_type=PC");
  // The number goes into the URL exactly as typed.
  EXPECT_EQ(NicknameUrl(" 1 2"), "http://r.qzone.qq.com/fcg-bin/cgi_get_portrait.fcg?uins= 1 2");
}

}  // namespace
}  // namespace ostrevan
