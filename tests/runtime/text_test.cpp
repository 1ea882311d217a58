// Text operations on GBK bytes, array bounds and the fatal stop.
#include "runtime/text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <new>

#include "runtime/threads.h"

namespace ostrevan {
namespace {

using ::testing::AllOf;
using ::testing::ExitedWithCode;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string_view kCrLf = "\r\n";

TEST(SplitText, CasesAtCrLf) {
  struct Case {
    std::string_view text;
    TextArray expected;
  };
  const Case cases[] = {
      {"", {}},
      {"abc", {"abc"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\r\n\r\nb", {"a", "", "b"}},
      {"\r\na", {"", "a"}},
      {"\r\n", {""}},
      {"a\r", {"a\r"}},
      {"\r\n\r\n", {"", ""}},
      // 0x0D is the second byte of the character that 0x81 begins: no delimiter there.
      {"\x81\r\nA", {"\x81\r\nA"}},
      // Double-byte characters in the pieces stay whole.
      {"\xC4\xE3\r\n\xBA\xC3", {"\xC4\xE3", "\xBA\xC3"}},
      // A lead byte as the last byte ends the scan; the rest is the last element.
      {"a\r\n\x81", {"a", "\x81"}},
      // A zero byte ends the text.
      {std::string_view("a\r\nb\0\r\nc", 8), {"a", "b"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.text)));
    EXPECT_EQ(SplitText(c.text, kCrLf), c.expected);
  }
}

TEST(SplitText, OtherDelimiters) {
  EXPECT_EQ(SplitText("a,b,,c", ","), (TextArray{"a", "b", "", "c"}));
  // The delimiter byte hides as the second byte of a GBK character (0x81 0x2C).
  EXPECT_EQ(SplitText("\x81,a,b", ","), (TextArray{"\x81,a", "b"}));
  EXPECT_EQ(SplitText("abc", ""), (TextArray{"abc"}));
}

TEST(FindLast, Cases) {
  struct Case {
    std::string_view text;
    std::string_view search;
    std::int32_t expected;
  };
  const Case cases[] = {
      {"a,b,c", ",", 4},
      {"abc", "x", -1},
      {"aaa", "aa", 2},
      {"abcabc", "abc", 4},
      {"", ",", -1},
      {"abc", "abcd", -1},
      {"\"nick\"", "\"", 6},
      // The second byte of a double-byte character is never a match.
      {"A\x81"
       "A",
       "A", 1},
      {"\x81"
       "A",
       "A", -1},
      {"\x81\"x\"", "\"", 4},
      // A lead byte may itself be found; as the last byte it also ends the walk.
      {"a\x81", "\x81", 2},
      {"\x81\x81\x81", "\x81", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.text)) + " / " + std::string(c.search));
    EXPECT_EQ(FindLast(c.text, c.search), c.expected);
  }
}

TEST(ByteCuts, LeftAndRight) {
  struct Case {
    std::string_view text;
    std::int32_t count;
    std::string_view left;
    std::string_view right;
  };
  const Case cases[] = {
      {"abc", 0, "", ""},
      {"abc", -3, "", ""},
      {"abc", 2, "ab", "bc"},
      {"abc", 4, "abc", "abc"},
      {"abc", std::numeric_limits<std::int32_t>::max(), "abc", "abc"},
      {"", 3, "", ""},
      // Byte counts only: a cut may split a GBK character.
      {"\xC4\xE3", 1, "\xC4", "\xE3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.text)) + " " + std::to_string(c.count));
    EXPECT_EQ(LeftBytes(c.text, c.count), c.left);
    EXPECT_EQ(RightBytes(c.text, c.count), c.right);
  }
}

TEST(Conversions, BytesAndTexts) {
  EXPECT_EQ(BytesToText(std::string_view("ab\0c", 4)), "ab");
  EXPECT_EQ(BytesToText("\xFF\xD8xyz"), "\xFF\xD8xyz");
  EXPECT_EQ(BytesToText(""), "");
  EXPECT_EQ(TextToBytes("abc").size(), 3u);
  EXPECT_EQ(TextToBytes(""), "");
  EXPECT_EQ(TextLength(std::string_view("ab\0cd", 5)), 2);
  EXPECT_EQ(TextLength("\xC4\xE3"), 2);
}

TEST(Conversions, JoinText) {
  EXPECT_EQ(JoinText({"", ""}), "");
  EXPECT_EQ(JoinText({kCrLf, {}}), kCrLf);
  EXPECT_EQ(JoinText({"12345", "----", "\xC4\xE3", "\r\n", ""}), "12345----\xC4\xE3\r\n");
}

TEST(Conversions, Numbers) {
  EXPECT_EQ(NumberToText(0), "0");
  EXPECT_EQ(NumberToText(7), "7");
  EXPECT_EQ(NumberToText(-12), "-12");
  EXPECT_EQ(NumberToText(std::numeric_limits<std::int32_t>::min()), "-2147483648");

  struct Case {
    double value;
    std::int32_t expected;
  };
  const Case cases[] = {
      {2.9, 2},
      {-2.9, -2},
      {0.0, 0},
      // Rounded to 64 bits first, then the low 32 bits.
      {4294967298.0, 2},
      {2147483648.0, std::numeric_limits<std::int32_t>::min()},
      {-4294967297.0, -1},
      // Outside the 64-bit range, and NaN: what the processor's conversion leaves, 0.
      {1e30, 0},
      {-1e30, 0},
      {std::nan(""), 0},
      {std::numeric_limits<double>::infinity(), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(TruncateToInt(c.value), c.expected);
  }
}

TEST(FatalErrorReport, Table) {
  struct Case {
    std::int32_t code;
    std::string_view message;
    std::string_view report;
  };
  const Case cases[] = {
      {4, "数组成员引用下标必须大于等于1",
       "运行时出错!\r\n\r\n错误代码：4\r\n\r\n错误信息：数组成员引用下标必须大于等于1\r\n"},
      {1, "数组成员引用下标超出定义范围",
       "运行时出错!\r\n\r\n错误代码：1\r\n\r\n错误信息：数组成员引用下标超出定义范围\r\n"},
      {0, "分配 100 字节内存失败!", "运行时出错!\r\n\r\n错误信息：分配 100 字节内存失败!\r\n"},
      {0, "", "运行时出错!\r\n\r\n"},
      {-3, "", "运行时出错!\r\n\r\n错误代码：-3\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(FatalErrorReport(c.code, c.message), c.report);
  }
}

TEST(ElementAt, InsideTheBounds) {
  const TextArray array = {"a", "", "c"};
  EXPECT_EQ(ElementCount(array), 3);
  EXPECT_EQ(ElementAt(array, 1), "a");
  EXPECT_EQ(ElementAt(array, 2), "");
  EXPECT_EQ(ElementAt(array, 3), "c");
  EXPECT_EQ(ElementCount(TextArray()), 0);
}

void AnnounceCleanup() {
  fputs("cleanup ran", stderr);
}

// The window closing while the error box is open: the clean-up must already be withdrawn.
void PresentWhileWindowCloses(const Text& caption, const Text& message, BoxIcon) {
  fprintf(stderr, "%s|%s", caption.c_str(), message.c_str());
  RunEndOfProgramCleanup();
}

// The box goes to stderr by default, which is what the death tests read.
class FatalStopDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(FatalStopDeathTest, IndexBelowOneIsCode4) {
  const TextArray array = {"a"};
  EXPECT_EXIT(
      {
        RegisterEndOfProgramCleanup(&AnnounceCleanup);
        SetMessagePresenter(&PresentWhileWindowCloses);
        ElementAt(array, 0);
      },
      ExitedWithCode(255),
      AllOf(
          HasSubstr(
              "错误|运行时出错!\r\n\r\n错误代码：4\r\n\r\n错误信息：数组成员引用下标必须大于等于1"),
          Not(HasSubstr("cleanup ran"))));
}

TEST_F(FatalStopDeathTest, IndexAboveCountIsCode1) {
  const TextArray array = {"a", "b"};
  EXPECT_EXIT(ElementAt(array, 3), ExitedWithCode(255),
              HasSubstr("错误代码：1\r\n\r\n错误信息：数组成员引用下标超出定义范围\r\n"));
  EXPECT_EXIT(ElementAt(TextArray(), 1), ExitedWithCode(255), HasSubstr("错误代码：1"));
}

// Beyond the 47-bit user address space, so no system can grant it.
constexpr std::size_t kImpossibleBytes = std::size_t{1} << 47;

TEST_F(FatalStopDeathTest, FailedAllocationReportsTheByteCount) {
  EXPECT_EXIT(
      {
        RegisterEndOfProgramCleanup(&AnnounceCleanup);
        SetMessagePresenter(&PresentWhileWindowCloses);
        static_cast<void>(::operator new(kImpossibleBytes));
      },
      ExitedWithCode(255),
      AllOf(HasSubstr("运行时出错!\r\n\r\n错误信息：分配 140737488355328 字节内存失败!\r\n"),
            Not(HasSubstr("错误代码")), Not(HasSubstr("cleanup ran"))));
}

TEST(Allocation, NothrowFormReturnsNull) {
  void* volatile block = ::operator new(kImpossibleBytes, std::nothrow);
  EXPECT_EQ(block, nullptr);
  void* small = ::operator new(16, std::nothrow);
  EXPECT_NE(small, nullptr);
  ::operator delete(small);
}

}  // namespace
}  // namespace ostrevan

namespace ostrevan {
namespace {

// Written as byte escapes: this file is compiled with GBK as its execution character set.
TEST(NativeNames, ConvertBetweenTheCodePageAndTheSystemsNames) {
  const struct {
    const char* gbk;
    const char* utf8;
  } cases[] = {
      {"10001.jpg", "10001.jpg"},
      {"\xD0\xA1\xC3\xF7", "\xE5\xB0\x8F\xE6\x98\x8E"},      // 小明
      {"a\xCD\xB7\xCF\xF1z", "a\xE5\xA4\xB4\xE5\x83\x8Fz"},  // a头像z
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NativeFromText(c.gbk), c.utf8);
    EXPECT_EQ(TextFromNative(c.utf8), c.gbk);
  }
  // A byte the other side cannot read is replaced, not dropped with what follows it.
  EXPECT_EQ(TextFromNative("a\xFFz"), "a?z");
}

}  // namespace
}  // namespace ostrevan
