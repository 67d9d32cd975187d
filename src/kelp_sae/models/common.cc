#include "kelp_sae/models/common.h"

#include <cctype>
#include <cmath>
#include <random>

#include "kelp/errors.h"

namespace kelp_sae::models {

double standard_normal_cdf(double z) { return 0.5 * std::erfc(-z / std::sqrt(2.0)); }

double two_sided_normal_p_value(double z) { return std::erfc(std::abs(z) / std::sqrt(2.0)); }

std::vector<FixedEffect> make_fixed_effects(const std::vector<std::string>& names,
                                            const Eigen::Ref<const Eigen::VectorXd>& est,
                                            const Eigen::Ref<const Eigen::VectorXd>& se) {
  if (static_cast<Eigen::Index>(names.size()) != est.size() || est.size() != se.size()) {
    throw std::invalid_argument("make_fixed_effects: names, est and se must have equal lengths.");
  }
  std::vector<FixedEffect> rows;
  rows.reserve(names.size());
  for (std::size_t j = 0; j < names.size(); ++j) {
    const auto i = static_cast<Eigen::Index>(j);
    const double b = est(i);
    const double s = se(i);
    const double z = s > 0.0 ? b / s : 0.0;
    rows.push_back(FixedEffect{.term = names[j],
                               .est = b,
                               .se = s,
                               .t_score = z,
                               .p_value = two_sided_normal_p_value(z),
                               .lci = b - 1.96 * s,
                               .uci = b + 1.96 * s});
  }
  return rows;
}

std::uint64_t fresh_seed() {
  std::random_device device;
  std::uniform_int_distribution<std::uint64_t> draw(0, (std::uint64_t{1} << 30) - 1);
  return draw(device);
}

std::string title_case_label(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool in_word = false;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '_') {
      out.push_back(' ');
      in_word = false;
    } else if (std::isalpha(u) != 0) {
      out.push_back(static_cast<char>(in_word ? std::tolower(u) : std::toupper(u)));
      in_word = true;
    } else {
      out.push_back(c);
      in_word = false;
    }
  }
  return out;
}

std::string normalize_method(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  const auto is_space = [&](std::size_t i) {
    return std::isspace(static_cast<unsigned char>(text[i])) != 0;
  };
  while (begin < end && is_space(begin)) ++begin;
  while (end > begin && is_space(end - 1)) --end;
  std::string out;
  out.reserve(end - begin);
  for (std::size_t i = begin; i < end; ++i) {
    out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(text[i]))));
  }
  return out;
}

std::string to_lower(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return out;
}

Eigen::VectorXd numeric_column(const kelp::Table& table, const std::string& name,
                               std::string_view role) {
  const kelp::Column& column = table.column(name);
  if (!column.is_numeric()) {
    throw kelp::ModelError({.title = "Non-numeric column",
                            .detail = "Column '" + name + "' (" + std::string(role) +
                                      ") holds text; it must be numeric."});
  }
  Eigen::VectorXd out(static_cast<Eigen::Index>(column.size()));
  for (std::size_t i = 0; i < column.size(); ++i) {
    out(static_cast<Eigen::Index>(i)) = column.as_double(i);
  }
  return out;
}

}  // namespace kelp_sae::models
