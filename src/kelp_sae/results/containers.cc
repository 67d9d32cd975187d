#include "kelp_sae/results/containers.h"

#include <atomic>
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
