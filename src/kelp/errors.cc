#include "kelp/errors.h"

#include <cstdint>
#include <utility>

namespace kelp {

ModelError::ModelError(ModelErrorInfo info)
    : std::runtime_error(info.title + ": " + info.detail), info_(std::move(info)) {}

namespace {

// The length of the valid UTF-8 sequence at the start of `s` (1 to 4), or 0
// when it is not one (overlong forms, surrogates and values past U+10FFFF
// included).
std::size_t utf8_sequence(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
  const std::uint8_t b0 = byte(0);
  if (b0 < 0x80) return 1;
  std::size_t length = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;
    if (b0 == 0xED) high = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::string printable(std::string_view text, std::size_t max_chars) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  std::size_t chars = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    if (chars == max_chars) return out + "...";
    const auto b = static_cast<std::uint8_t>(text[i]);
    const std::size_t length = utf8_sequence(text.substr(i));
    if (length > 0 && b >= 0x20 && b != 0x7F) {
      out.append(text.substr(i, length));
      i += length;
    } else if (b == '\n') {
      out += "\\n";
      ++i;
    } else if (b == '\t') {
      out += "\\t";
      ++i;
    } else if (b == '\r') {
      out += "\\r";
      ++i;
    } else {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
      ++i;
    }
    ++chars;
  }
  return out;
}

}  // namespace kelp
