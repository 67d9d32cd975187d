// The indicators as the program names them: short names (mean, headcount,
// gap, severity, gini, qsr, q10, q25, median, q75, q90) and the display
// texts ("Poverty Gap"), in any case. Shared by ebp and direct.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kelp_sae/models/ebp_options.h"

namespace kelp_sae::cli {

// The short names, comma-separated, for help texts.
inline constexpr const char* kIndicatorNames =
    "mean, headcount, gap, severity, gini, qsr, q10, q25, median, q75, q90";

// The indicator a short name or display text names (any case), if any.
std::optional<Indicator> indicator_from_name(const std::string& item);

// --indicators items in order. Throws CLI::ValidationError naming an unknown
// item and the accepted names.
IndicatorList parse_indicators(const std::vector<std::string>& items);

}  // namespace kelp_sae::cli
