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
};

class ModelError : public std::runtime_error {
 public:
  explicit ModelError(ModelErrorInfo info);
  const std::string& title() const noexcept { return info_.title; }
  const std::string& detail() const noexcept { return info_.detail; }
  const std::optional<std::string>& code() const noexcept { return info_.code; }

 private:
  ModelErrorInfo info_;
};

}  // namespace kelp
