#include "runtime/text.h"

#include <iconv.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "runtime/program_texts.h"
#include "runtime/threads.h"

namespace ostrevan {
namespace {

// The length of the character that begins at p: two bytes for a lead byte followed by another
// byte, else one. Zero when a lead byte is the last byte, which ends every walk.
std::size_t CharacterLength(std::string_view text, std::size_t p) {
  if (!IsLeadByte(text[p])) {
    return 1;
  }
  return p + 1 < text.size() ? 2 : 0;
}

std::string_view UpToZero(std::string_view bytes) {
  return bytes.substr(0, bytes.find('\0'));
}

}  // namespace

std::int32_t TextLength(std::string_view text) {
  return static_cast<std::int32_t>(UpToZero(text).size());
}

Text JoinText(std::initializer_list<std::string_view> parts) {
  std::size_t total = 0;
  for (std::string_view part : parts) {
    total += UpToZero(part).size();
  }
  Text joined;
  joined.reserve(total);
  for (std::string_view part : parts) {
    joined += UpToZero(part);
  }
  return joined;
}

Text LeftBytes(std::string_view text, std::int32_t count) {
  text = UpToZero(text);
  if (count <= 0) {
    return Text();
  }
  return Text(text.substr(0, static_cast<std::size_t>(count)));
}

Text RightBytes(std::string_view text, std::int32_t count) {
  text = UpToZero(text);
  if (count <= 0) {
    return Text();
  }
  std::size_t n = std::min(text.size(), static_cast<std::size_t>(count));
  return Text(text.substr(text.size() - n));
}

std::int32_t FindLast(std::string_view text, std::string_view search) {
  text = UpToZero(text);
  search = UpToZero(search);
  std::int32_t found = -1;
  std::size_t p = 0;
  while (p + search.size() <= text.size()) {
    if (text.compare(p, search.size(), search) == 0) {
      found = static_cast<std::int32_t>(p + 1);
    }
    if (p == text.size()) {
      break;
    }
    std::size_t step = CharacterLength(text, p);
    if (step == 0) {
      break;
    }
    p += step;
  }
  return found;
}

TextArray SplitText(std::string_view text, std::string_view delimiter) {
  text = UpToZero(text);
  delimiter = UpToZero(delimiter);
  TextArray pieces;
  if (text.empty()) {
    return pieces;
  }
  std::size_t piece = 0;
  std::size_t p = 0;
  // An empty delimiter would match everywhere without moving on; it splits nothing.
  if (!delimiter.empty()) {
    while (text.size() - p >= delimiter.size()) {
      if (text.compare(p, delimiter.size(), delimiter) == 0) {
        pieces.emplace_back(text.substr(piece, p - piece));
        p += delimiter.size();
        piece = p;
        continue;
      }
      std::size_t step = CharacterLength(text, p);
      if (step == 0) {
        break;
      }
      p += step;
    }
  }
  if (piece < text.size()) {
    pieces.emplace_back(text.substr(piece));
  }
  return pieces;
}

Text BytesToText(std::string_view buffer) {
  return Text(UpToZero(buffer));
}

ByteBuffer TextToBytes(std::string_view text) {
  return ByteBuffer(UpToZero(text));
}

Text NumberToText(std::int32_t number) {
  return std::to_string(number);
}

std::int32_t TruncateToInt(double value) {
  // What the processor's conversion gives outside the 64-bit range (and for NaN) is the
  // integer 0x8000000000000000, whose low 32 bits are 0; the cast itself would be undefined.
  constexpr double kTwoToThe63 = 9223372036854775808.0;
  double whole = std::trunc(value);
  if (!(whole >= -kTwoToThe63 && whole < kTwoToThe63)) {
    return 0;
  }
  auto wide = static_cast<std::uint64_t>(static_cast<std::int64_t>(whole));
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(wide));
}

std::int32_t ElementCount(const TextArray& array) {
  return static_cast<std::int32_t>(array.size());
}

const Text& ElementAt(const TextArray& array, std::int32_t index) {
  if (index < 1) {
    FatalRuntimeError(4, texts::kIndexBelowOne);
  }
  if (index > ElementCount(array)) {
    FatalRuntimeError(1, texts::kIndexBeyondCount);
  }
  return array[static_cast<std::size_t>(index - 1)];
}

bool IsAscii(std::string_view bytes) {
  return std::none_of(bytes.begin(), bytes.end(), IsLeadByte);
}

namespace {

std::string Convert(std::string_view bytes, const char* to, const char* from) {
  if (IsAscii(bytes)) {
    return std::string(bytes);
  }
  iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    return std::string(bytes);
  }
  std::string in(bytes);
  std::string out;
  char* in_next = in.data();
  std::size_t in_left = in.size();
  char buffer[256];
  while (in_left > 0) {
    char* out_next = buffer;
    std::size_t out_left = sizeof buffer;
    std::size_t done = iconv(converter, &in_next, &in_left, &out_next, &out_left);
    out.append(buffer, static_cast<std::size_t>(out_next - buffer));
    if (done == static_cast<std::size_t>(-1) && errno != E2BIG) {
      // A byte sequence the source encoding does not know: skip one byte.
      out += '?';
      ++in_next;
      --in_left;
    }
  }
  iconv_close(converter);
  return out;
}

}  // namespace

Text TextFromNative(std::string_view native) {
  return BytesToText(Convert(native, "GBK", "UTF-8"));
}

std::string NativeFromText(std::string_view text) {
  return Convert(UpToZero(text), "UTF-8", "GBK");
}

Text FatalErrorReport(std::int32_t code, std::string_view message) {
  Text report = texts::kReportHeading;
  if (code != 0) {
    report += JoinText({texts::kReportCode, NumberToText(code), "\r\n\r\n"});
  }
  if (!UpToZero(message).empty()) {
    report += JoinText({texts::kReportMessage, message, "\r\n"});
  }
  return report;
}

[[noreturn]] void FatalRuntimeError(std::int32_t code, std::string_view message) {
  WithdrawEndOfProgramCleanup();
  ShowMessage(texts::kErrorCaption, FatalErrorReport(code, message), BoxIcon::Error);
  _exit(-1);
}

}  // namespace ostrevan
