// kelp::ModelError: an input problem the user can fix, reported with a short
// title, a detail sentence and an optional machine-readable code.
//
//   throw kelp::ModelError({.title = "Missing columns", .detail = msg,
//                           .code = "MISSING_COLUMN"});
//
// what() reads "<title>: <detail>".
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kelp {

struct ModelErrorInfo {
  std::string title;
  std::string detail;
  std::optional<std::string> code = std::nullopt;
  // The library argument the detail refers to (for example "drop_nulls"),
  // so that a program can name its own option instead.
  std::optional<std::string> argument = std::nullopt;
};

class ModelError : public std::runtime_error {
 public:
  explicit ModelError(ModelErrorInfo info);
  const std::string& title() const noexcept { return info_.title; }
  const std::string& detail() const noexcept { return info_.detail; }
  const std::optional<std::string>& code() const noexcept { return info_.code; }
  const std::optional<std::string>& argument() const noexcept { return info_.argument; }

 private:
  ModelErrorInfo info_;
};

// User text (a column name, a label, a level, a file name) as an error
// message shows it, so that one failure stays one readable line: newline,
// tab and carriage return as \n, \t, \r, other control characters and
// bytes that are not UTF-8 as \xNN, valid UTF-8 kept (a backslash stays
// as it is); cut after `max_chars` characters, an escape counting as one,
// with "..." appended. A header read from a binary file thus shows as
// 'PK\x03\x04\x14\x00...' instead of flooding the terminal. Quote marks
// around it are the caller's.
inline constexpr std::size_t kPrintableLength = 60;
std::string printable(std::string_view text, std::size_t max_chars = kPrintableLength);

}  // namespace kelp
