#include "app/indicator_names.h"

#include <CLI/CLI.hpp>
#include <optional>
#include <utility>

#include "kelp_sae/models/common.h"

namespace kelp_sae::cli {

namespace {

constexpr std::pair<const char*, Indicator> kShort[] = {
    {"mean", Indicator::MEAN},       {"headcount", Indicator::POVERTY_HEADCOUNT},
    {"gap", Indicator::POVERTY_GAP}, {"severity", Indicator::POVERTY_SEVERITY},
    {"gini", Indicator::GINI},       {"qsr", Indicator::QSR},
    {"q10", Indicator::QUANTILE_10}, {"q25", Indicator::QUANTILE_25},
    {"median", Indicator::MEDIAN},   {"q75", Indicator::QUANTILE_75},
    {"q90", Indicator::QUANTILE_90}};

}  // namespace

std::optional<Indicator> indicator_from_name(const std::string& item) {
  const std::string key = models::to_lower(item);
  for (const auto& [name, indicator] : kShort) {
    if (key == name || key == models::to_lower(std::string(to_string(indicator)))) {
      return indicator;
    }
  }
  return std::nullopt;
}

IndicatorList parse_indicators(const std::vector<std::string>& items) {
  std::vector<IndicatorRequest> out;
  for (const std::string& item : items) {
    const std::optional<Indicator> found = indicator_from_name(item);
    if (!found) {
      std::string texts;
      for (const auto& [name, indicator] : kShort) {
        texts += (texts.empty() ? "'" : ", '") + std::string(to_string(indicator)) + "'";
      }
      throw CLI::ValidationError("--indicators: unknown indicator '" + item + "'; accepted: " +
                                 kIndicatorNames + ", or the texts " + texts + ".");
    }
    out.emplace_back(*found);
  }
  return IndicatorList(std::move(out));
}

}  // namespace kelp_sae::cli
