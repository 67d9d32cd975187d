// The vocabulary of methods, levels, transformations and indicators.
//
// Every enumeration is a text enumeration: each member has an upper-case name
// used in code and a value, its display text. A member converts to its value
// text, is looked up from it, compares equal to it and prints as it.
//
//   using kelp_sae::Indicator;
//   std::string_view t = to_string(Indicator::QSR);           // "Quintile Share Ratio"
//   auto i = kelp_sae::from_string<Indicator>("Gini Coefficient");  // Indicator::GINI
//   bool same = (kelp_sae::SaeLevel::AREA == "Area Level");   // true
//   for (auto m : kelp_sae::all_values<kelp_sae::MseMethod>()) std::cout << m << '\n';
//
// from_string throws std::invalid_argument for a text that is no member's
// value; the message names the text and the enumeration. Comparison with a
// text is exact (case-sensitive).
#pragma once

#include <array>
#include <cstddef>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

namespace kelp_sae {

enum class AreaMethod { FH, FH_ST, FH_SPATIAL };

// Standard Poverty and Inequality Indicators.
// Members keep their order of first release; the quantiles follow.
enum class Indicator {
  MEAN,
  MEDIAN,
  POVERTY_HEADCOUNT,
  POVERTY_GAP,
  POVERTY_SEVERITY,
  GINI,
  QSR,
  QUANTILE_10,
  QUANTILE_25,
  QUANTILE_75,
  QUANTILE_90
};

// Strategy for Mass Imputation (Census generation).
enum class ImputationType { PARAMETRIC, RESIDUAL };

// Method for estimating the Mean Squared Error (Uncertainty).
enum class MseMethod { ANALYTICAL, BOOTSTRAP, JACKKNIFE };

// Categorizes the model type based on input data granularity.
enum class SaeLevel { UNIT, AREA };

// Transformations applied to the dependent variable (y) before modeling.
// Important for SAE when data is skewed (e.g., Income).
enum class Transformation { NONE, LOG, LOG_SHIFT, BOX_COX, ARCSINH };

enum class UnitMethod { BATTESE_FULLER, EBP, ELL };

// Per-enumeration facts: its name, its description (empty when it has none),
// and its members in declaration order with their names and value texts.
template <class E>
struct EnumTraits;

template <class E>
struct EnumMember {
  E value;
  std::string_view name;
  std::string_view text;
};

#define KELP_SAE_ENUM_TRAITS(E, N, DESC, ...)                                    \
  template <>                                                                    \
  struct EnumTraits<E> {                                                         \
    static constexpr std::string_view name = #E;                                 \
    static constexpr std::string_view description = DESC;                        \
    static constexpr auto members = std::array<EnumMember<E>, N>{{__VA_ARGS__}}; \
  };

KELP_SAE_ENUM_TRAITS(AreaMethod, 3, "", {AreaMethod::FH, "FH", "Fay-Herriot"},
                     {AreaMethod::FH_ST, "FH_ST", "FH Space-Time"},
                     {AreaMethod::FH_SPATIAL, "FH_SPATIAL", "FH Spatial"})
KELP_SAE_ENUM_TRAITS(Indicator, 11, "Standard Poverty and Inequality Indicators.",
                     {Indicator::MEAN, "MEAN", "Mean"}, {Indicator::MEDIAN, "MEDIAN", "Median"},
                     {Indicator::POVERTY_HEADCOUNT, "POVERTY_HEADCOUNT", "Poverty Headcount"},
                     {Indicator::POVERTY_GAP, "POVERTY_GAP", "Poverty Gap"},
                     {Indicator::POVERTY_SEVERITY, "POVERTY_SEVERITY", "Poverty Severity"},
                     {Indicator::GINI, "GINI", "Gini Coefficient"},
                     {Indicator::QSR, "QSR", "Quintile Share Ratio"},
                     {Indicator::QUANTILE_10, "QUANTILE_10", "Quantile 10"},
                     {Indicator::QUANTILE_25, "QUANTILE_25", "Quantile 25"},
                     {Indicator::QUANTILE_75, "QUANTILE_75", "Quantile 75"},
                     {Indicator::QUANTILE_90, "QUANTILE_90", "Quantile 90"})
KELP_SAE_ENUM_TRAITS(ImputationType, 2, "Strategy for Mass Imputation (Census generation).",
                     {ImputationType::PARAMETRIC, "PARAMETRIC", "Parametric"},
                     {ImputationType::RESIDUAL, "RESIDUAL", "Residual Bootstrap"})
KELP_SAE_ENUM_TRAITS(MseMethod, 3, "Method for estimating the Mean Squared Error (Uncertainty).",
                     {MseMethod::ANALYTICAL, "ANALYTICAL", "Analytical"},
                     {MseMethod::BOOTSTRAP, "BOOTSTRAP", "Bootstrap"},
                     {MseMethod::JACKKNIFE, "JACKKNIFE", "Jackknife"})
KELP_SAE_ENUM_TRAITS(SaeLevel, 2, "Categorizes the model type based on input data granularity.",
                     {SaeLevel::UNIT, "UNIT", "Unit Level"}, {SaeLevel::AREA, "AREA", "Area Level"})
KELP_SAE_ENUM_TRAITS(Transformation, 5,
                     "Transformations applied to the dependent variable (y) before modeling.\n"
                     "Important for SAE when data is skewed (e.g., Income).",
                     {Transformation::NONE, "NONE", "None"}, {Transformation::LOG, "LOG", "Log"},
                     {Transformation::LOG_SHIFT, "LOG_SHIFT", "Log-Shift"},
                     {Transformation::BOX_COX, "BOX_COX", "Box-Cox"},
                     {Transformation::ARCSINH, "ARCSINH", "Arcsinh"})
KELP_SAE_ENUM_TRAITS(UnitMethod, 3, "",
                     {UnitMethod::BATTESE_FULLER, "BATTESE_FULLER", "Battese-Fuller"},
                     {UnitMethod::EBP, "EBP", "EBP"}, {UnitMethod::ELL, "ELL", "ELL"})

#undef KELP_SAE_ENUM_TRAITS

template <class E>
concept TextEnum = std::is_enum_v<E> && requires {
  EnumTraits<E>::members;
};

namespace detail {
// Members must follow declaration order (value i at index i) and have
// distinct value texts; checked at compile time for every enumeration.
template <class E>
consteval bool well_formed() {
  const auto& m = EnumTraits<E>::members;
  for (std::size_t i = 0; i < m.size(); ++i) {
    if (static_cast<std::size_t>(m[i].value) != i) return false;
    for (std::size_t j = 0; j < i; ++j) {
      if (m[i].text == m[j].text || m[i].name == m[j].name) return false;
    }
  }
  return true;
}
static_assert(well_formed<AreaMethod>() && well_formed<Indicator>() &&
              well_formed<ImputationType>() && well_formed<MseMethod>() &&
              well_formed<SaeLevel>() && well_formed<Transformation>() &&
              well_formed<UnitMethod>());

[[noreturn]] void throw_unknown_enum_text(std::string_view text, std::string_view enum_name,
                                          std::span<const std::string_view> valid);
}  // namespace detail

// Members in declaration order.
template <TextEnum E>
constexpr std::array<E, EnumTraits<E>::members.size()> all_values() {
  std::array<E, EnumTraits<E>::members.size()> out{};
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = EnumTraits<E>::members[i].value;
  return out;
}

// The value text of a member ("Gini Coefficient" for Indicator::GINI).
template <TextEnum E>
constexpr std::string_view to_string(E e) {
  return EnumTraits<E>::members[static_cast<std::size_t>(e)].text;
}

// The upper-case member name ("GINI" for Indicator::GINI).
template <TextEnum E>
constexpr std::string_view member_name(E e) {
  return EnumTraits<E>::members[static_cast<std::size_t>(e)].name;
}

// The enumeration's doc string; empty for AreaMethod and UnitMethod.
template <TextEnum E>
constexpr std::string_view description() {
  return EnumTraits<E>::description;
}

// The member whose value text is `text` (exact match). Throws
// std::invalid_argument naming the text, the enumeration and its values.
template <TextEnum E>
E from_string(std::string_view text) {
  constexpr auto& members = EnumTraits<E>::members;
  for (const auto& m : members) {
    if (m.text == text) return m.value;
  }
  std::array<std::string_view, members.size()> valid{};
  for (std::size_t i = 0; i < valid.size(); ++i) valid[i] = members[i].text;
  detail::throw_unknown_enum_text(text, EnumTraits<E>::name, valid);
}

template <TextEnum E>
constexpr bool operator==(E e, std::string_view text) {
  return to_string(e) == text;
}

template <TextEnum E>
std::ostream& operator<<(std::ostream& os, E e) {
  return os << to_string(e);
}

}  // namespace kelp_sae
