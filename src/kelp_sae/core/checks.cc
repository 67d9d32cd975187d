#include "kelp_sae/core/checks.h"

#include <cctype>
#include <cmath>

#include <fmt/format.h>

namespace kelp_sae {
namespace {

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

ArgumentError::ArgumentError(std::string function, std::string argument, const std::string& message)
    : std::invalid_argument(message),
      function_(std::move(function)),
      argument_(std::move(argument)) {}

void throw_argument_error(std::string_view function, std::string_view argument,
                          std::string_view requirement, std::string_view got) {
  throw ArgumentError(std::string(function), std::string(argument),
                      fmt::format("{}: {} {}; got {}.", function, argument, requirement, got));
}

void check_at_least(std::string_view function, std::string_view argument, std::int64_t value,
                    std::int64_t minimum) {
  if (value < minimum) {
    throw_argument_error(function, argument, fmt::format("must be at least {}", minimum),
                         std::to_string(value));
  }
}

void check_at_most(std::string_view function, std::string_view argument, std::int64_t value,
                   std::int64_t maximum) {
  if (value > maximum) {
    throw_argument_error(function, argument, fmt::format("must be at most {}", maximum),
                         std::to_string(value));
  }
}

void check_positive_finite(std::string_view function, std::string_view argument, double value) {
  if (!(std::isfinite(value) && value > 0.0)) {
    throw_argument_error(function, argument, "must be a positive finite number",
                         fmt::format("{}", value));
  }
}

std::size_t check_choice(std::string_view function, std::string_view argument,
                         std::string_view value, std::initializer_list<std::string_view> accepted) {
  std::size_t index = 0;
  for (std::string_view a : accepted) {
    if (equal_ignoring_case(a, value)) return index;
    ++index;
  }
  std::string choices;
  index = 0;
  for (std::string_view a : accepted) {
    if (index > 0) choices += index + 1 == accepted.size() ? " or " : ", ";
    choices += fmt::format("'{}'", a);
    ++index;
  }
  throw_argument_error(function, argument, "must be " + choices, fmt::format("'{}'", value));
}

void check(bool ok, std::string_view function, const std::string& message) {
  if (!ok) throw std::invalid_argument(fmt::format("{}: {}", function, message));
}

}  // namespace kelp_sae
