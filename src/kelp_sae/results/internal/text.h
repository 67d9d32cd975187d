// Text helpers shared by the report, the one-line text forms and the width
// settings of the result records: numbers and texts as Python prints them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kelp_sae/results/containers.h"

namespace kelp_sae::results_internal {

// Fixed-point text as Python's format(x, ".<p>f"); NaN reads "nan".
std::string fixed(double x, int precision);
// Python's format(x, ".4g").
std::string general4(double x);
// Python's repr(str).
std::string py_repr(std::string_view s);
// The random-effect term as plain text; a list of terms joined by ", ".
std::string term_text(const RandomEffect& r);
// Python's int() of a text; std::nullopt when it is no integer or does not
// fit an int.
std::optional<int> parse_python_int(std::string_view text);

}  // namespace kelp_sae::results_internal
