// Texts, byte buffers and text arrays, and the operations the tool is written on.
//
// A Text is a byte string in the tool's code page, GBK; it never holds a zero byte, and the
// empty string is the one empty text. No operation converts between code pages: the bytes of a
// reply travel unchanged into the results list and the output files. FindLast and SplitText walk
// GBK characters (a byte of 0x80 or above begins a two-byte character); everything else counts
// bytes. Positions and indices are 1-based.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace ostrevan {

using Text = std::string;
// Any bytes, zero bytes included.
using ByteBuffer = std::string;
// Elements are addressed 1-based through ElementAt.
using TextArray = std::vector<Text>;

// A byte of 0x80 or above begins a two-byte GBK character.
inline bool IsLeadByte(char c) {
  return static_cast<unsigned char>(c) >= 0x80;
}
// Bytes that read the same in GBK, UTF-8 and Latin-1.
bool IsAscii(std::string_view bytes);

std::int32_t TextLength(std::string_view text);
Text JoinText(std::initializer_list<std::string_view> parts);
Text LeftBytes(std::string_view text, std::int32_t count);
Text RightBytes(std::string_view text, std::int32_t count);
// 1-based position of the last occurrence that begins at a character start, or -1.
std::int32_t FindLast(std::string_view text, std::string_view search);
TextArray SplitText(std::string_view text, std::string_view delimiter);
// The bytes up to the first zero byte.
Text BytesToText(std::string_view buffer);
ByteBuffer TextToBytes(std::string_view text);
Text NumberToText(std::int32_t number);
// Rounds toward zero to 64 bits and keeps the low 32.
std::int32_t TruncateToInt(double value);

std::int32_t ElementCount(const TextArray& array);
// Index below 1 is fatal error 4, above the element count fatal error 1.
const Text& ElementAt(const TextArray& array, std::int32_t index);

// File names of the system (UTF-8 on Linux) and the tool's texts (GBK) meet only here. Bytes
// that the other side cannot hold are replaced by "?".
Text TextFromNative(std::string_view native);
std::string NativeFromText(std::string_view text);

// The report shown for a fatal error, exactly as the user reads it.
Text FatalErrorReport(std::int32_t code, std::string_view message);
// Shows the report in an error box, then ends the process with exit code -1 without the
// end-of-program clean-up.
[[noreturn]] void FatalRuntimeError(std::int32_t code, std::string_view message);

}  // namespace ostrevan
