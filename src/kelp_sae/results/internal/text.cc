#include "kelp_sae/results/internal/text.h"

#include <cmath>
#include <limits>

#include <fmt/format.h>

namespace kelp_sae::results_internal {

// Fixed-point text as Python's format(x, ".<p>f"): non-finite values read
// "nan", "inf", "-inf" (NaN never carries a sign).
std::string fixed(double x, int precision) {
  if (std::isnan(x)) return "nan";
  return fmt::format("{:.{}f}", x, precision);
}

// Python's format(x, ".4g"): 4 significant digits, trailing zeros removed,
// exponent notation below 1e-4 or from 1e4 on.
std::string general4(double x) {
  if (std::isnan(x)) return "nan";
  return fmt::format("{:.4g}", x);
}

// Python's repr(str): single quotes unless the text holds a single quote and
// no double quote; backslashes, the chosen quote and control characters
// escaped. Other characters (including UTF-8 sequences) are kept.
std::string py_repr(std::string_view s) {
  const bool has_single = s.find('\'') != std::string_view::npos;
  const bool has_double = s.find('"') != std::string_view::npos;
  const char q = (has_single && !has_double) ? '"' : '\'';
  std::string out(1, q);
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == q) {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7f) {
      out += fmt::format("\\x{:02x}", u);
    } else {
      out += c;
    }
  }
  out += q;
  return out;
}

std::string term_text(const RandomEffect& r) {
  if (const auto* s = std::get_if<std::string>(&r.term)) return *s;
  const auto& items = std::get<std::vector<std::string>>(r.term);
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    out += items[i];
  }
  return out;
}

// Python's int() of a text: optional surrounding whitespace, an optional
// sign, decimal digits (single underscores allowed between digits).
// std::nullopt when the text is no integer or does not fit an int.
std::optional<int> parse_python_int(std::string_view text) {
  auto is_space = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
  };
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  long long value = 0;
  bool prev_digit = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '_') {
      if (!prev_digit || i + 1 == text.size()) return std::nullopt;
      prev_digit = false;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    prev_digit = true;
    value = value * 10 + (c - '0');
    if (value > static_cast<long long>(std::numeric_limits<int>::max()) + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
    return std::nullopt;
  }
  return static_cast<int>(value);
}

}  // namespace kelp_sae::results_internal
