#include "kelp_sae/results/containers.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <stdexcept>

#include <fmt/format.h>

#include "kelp_sae/results/internal/text.h"

namespace kelp_sae {
namespace {

using results_internal::parse_python_int;
using results_internal::py_repr;

// Type-wide default report width; 0 means absent (valid widths are > 20).
std::atomic<int> g_default_print_width{0};

std::optional<int> checked_width(std::optional<int> width, std::string_view prefix) {
  if (width && *width <= 20) {
    throw std::invalid_argument(fmt::format("{} must be > 20 characters.", prefix));
  }
  return width;
}

int parsed_width(std::string_view text, std::string_view prefix) {
  auto value = parse_python_int(text);
  if (!value) {
    throw std::invalid_argument(
        fmt::format("{} must be int or None; got {}", prefix, py_repr(text)));
  }
  return *value;
}

}  // namespace

namespace {

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

bool same(const std::vector<double>& a, const std::vector<double>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](double x, double y) { return same(x, y); });
}

}  // namespace

bool operator==(const DistributionDiagnostics& a, const DistributionDiagnostics& b) {
  return a.n == b.n && same(a.skewness, b.skewness) && same(a.kurtosis, b.kurtosis) &&
         same(a.shapiro_w, b.shapiro_w) && same(a.shapiro_p, b.shapiro_p) &&
         a.shapiro_n == b.shapiro_n && a.subsampled == b.subsampled;
}

bool operator==(const Diagnostics& a, const Diagnostics& b) {
  return a.residuals == b.residuals && a.area_effects == b.area_effects &&
         same(a.r_squared, b.r_squared) && same(a.r_squared_marginal, b.r_squared_marginal) &&
         same(a.r_squared_conditional, b.r_squared_conditional) &&
         same(a.boxcox_lambda, b.boxcox_lambda) && same(a.boxcox_loglik, b.boxcox_loglik) &&
         same(a.standardized_residuals, b.standardized_residuals) &&
         same(a.fitted_values, b.fitted_values) &&
         same(a.standardized_area_effects, b.standardized_area_effects);
}

bool operator==(const DirectEstimate& a, const DirectEstimate& b) {
  return a.area == b.area && a.indicator == b.indicator && same(a.est, b.est) &&
         same(a.var, b.var) && a.n == b.n;
}

SAEResults::SAEResults(std::string level, std::string y, std::string model_type, SAEStats stats,
                       std::vector<FixedEffect> fixed_effects, RandomEffect random_effects,
                       std::vector<SAEPred> prediction)
    : level_(std::move(level)),
      y_(std::move(y)),
      model_type_(std::move(model_type)),
      stats_(std::move(stats)),
      fixed_effects_(std::move(fixed_effects)),
      random_effects_(std::move(random_effects)),
      prediction_(std::move(prediction)) {}

// ---------------------------------------------------------------------------
// Width settings

SAEResults& SAEResults::set_print_width(std::optional<int> width) {
  print_width_ = checked_width(width, "print width");
  return *this;
}

SAEResults& SAEResults::set_print_width(std::string_view width) {
  return set_print_width(parsed_width(width, "print width"));
}

void SAEResults::set_default_print_width(std::optional<int> width) {
  g_default_print_width.store(checked_width(width, "class print width").value_or(0));
}

void SAEResults::set_default_print_width(std::string_view width) {
  set_default_print_width(parsed_width(width, "class print width"));
}

std::optional<int> SAEResults::default_print_width() noexcept {
  const int w = g_default_print_width.load();
  if (w == 0) return std::nullopt;
  return w;
}

}  // namespace kelp_sae
