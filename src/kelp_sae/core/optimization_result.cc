#include "kelp_sae/core/optimization_result.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ostream>
#include <string>

#include <fmt/format.h>

namespace kelp_sae {
namespace {

// Python's repr(float): the shortest text that reads back to the same
// number, ".0" kept for whole numbers, exponent notation when the decimal
// exponent is below -4 or at least 16.
std::string float_repr(double x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  std::string sci(buf, res.ptr);
  // sci = [-]d[.ddd]e(+|-)XX
  const bool negative = sci.front() == '-';
  if (negative) sci.erase(0, 1);
  const auto epos = sci.find('e');
  const int exponent = std::stoi(sci.substr(epos + 1));
  std::string digits = sci.substr(0, epos);
  if (digits.size() > 1) digits.erase(1, 1);  // drop the decimal point
  std::string out;
  if (exponent < -4 || exponent >= 16) {
    out = digits.substr(0, 1);
    if (digits.size() > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += fmt::format("e{}{:02d}", exponent < 0 ? '-' : '+', std::abs(exponent));
  } else if (exponent < 0) {
    out = "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  } else {
    const auto int_len = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= int_len) {
      out = digits + std::string(int_len - digits.size(), '0') + ".0";
    } else {
      out = digits.substr(0, int_len) + "." + digits.substr(int_len);
    }
  }
  if (negative) out.insert(out.begin(), '-');
  return out;
}

}  // namespace

std::string to_string(const OptimizationResult& r) {
  return fmt::format("OptimizationResult(success={}, fun={}, message={})",
                     r.success ? "True" : "False", float_repr(r.fun), r.message);
}

std::ostream& operator<<(std::ostream& os, const OptimizationResult& r) {
  return os << to_string(r);
}

}  // namespace kelp_sae
