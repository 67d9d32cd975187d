// kelp::ModelError: an input problem the user can fix, reported with a short
// title, a detail sentence and an optional machine-readable code.
//
//   throw kelp::ModelError({.title = "Missing columns", .detail = msg,
//                           .code = "MISSING_COLUMN"});
//
// what() reads "<title>: <detail>".
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

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

}  // namespace kelp
