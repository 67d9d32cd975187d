// Rendering of the result records: the one-line text forms and the boxed
// console report.
#include <cmath>
#include <ostream>

#include <fmt/format.h>

#include "kelp/printing.h"
#include "kelp_sae/results/containers.h"
#include "kelp_sae/results/internal/text.h"

namespace kelp_sae {
namespace {

using results_internal::fixed;
using results_internal::general4;
using results_internal::py_repr;
using results_internal::term_text;

// The term as Python shows it in text: a text as itself, a list of texts in
// list notation (['a', 'b']).
std::string term_plain(const RandomEffect& r) {
  if (const auto* s = std::get_if<std::string>(&r.term)) return *s;
  const auto& items = std::get<std::vector<std::string>>(r.term);
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    out += py_repr(items[i]);
  }
  out += "]";
  return out;
}

// The transformation of an EBP: its parameters and the scale of the
// likelihood above it, so that nobody compares log-likelihoods or
// information criteria of fits with different transformations.
std::vector<kelp::Renderable> transformation_section(const TransformationInfo& t) {
  using kelp::Justify;
  constexpr kelp::Style kBold{.bold = true};
  const auto number = [](double v) { return std::isnan(v) ? std::string("-") : fixed(v, 4); };
  std::vector<kelp::Renderable> out;
  out.push_back(kelp::grid({{.style = kBold},
                            {.justify = Justify::kRight},
                            {.style = kBold},
                            {.justify = Justify::kRight}},
                           {{"Transformation", t.transformation, "Shift", number(t.shift)},
                            {"Lambda", number(t.lambda), "Poverty line", number(t.poverty_line)}},
                           /*padding=*/2));
  if (t.benchmark) {
    std::string line =
        "Benchmarked (" + t.benchmark->type + ") to " +
        (t.benchmark->source == "survey" ? "the survey's national estimates" : "national targets") +
        ":";
    for (std::size_t i = 0; i < t.benchmark->targets.size(); ++i) {
      line += (i == 0 ? " " : ", ") + t.benchmark->targets[i].first + " " +
              fixed(t.benchmark->targets[i].second, 4);
    }
    out.push_back(kelp::paragraph(kelp::Text(line + ".")));
  }
  out.push_back(kelp::paragraph(kelp::Text(
      "Log likelihood, AIC, BIC and KIC are on the transformed scale, without the Jacobian of "
      "the transformation: do not compare them across transformations.",
      {.italic = true})));
  return out;
}

// The diagnostics: the shape of the standardised residuals and area effects,
// and the R-squared of the model.
std::vector<kelp::Renderable> diagnostics_section(const Diagnostics& d) {
  using kelp::Justify;
  using kelp::Text;
  constexpr kelp::Style kBold{.bold = true};
  constexpr kelp::Style kBoldRed{.bold = true, .red = true};
  const auto number = [](double v) { return std::isnan(v) ? std::string("-") : fixed(v, 4); };
  const auto row = [&](const char* name, const DistributionDiagnostics& s) {
    return std::vector<Text>{
        name,
        std::to_string(s.n),
        number(s.skewness),
        number(s.kurtosis),
        number(s.shapiro_w),
        Text(number(s.shapiro_p), s.shapiro_p < 0.05 ? kBoldRed : kelp::Style{})};
  };
  std::vector<kelp::Renderable> out;
  out.push_back(kelp::table({{"Diagnostics", Justify::kLeft},
                             {"N", Justify::kRight},
                             {"Skewness", Justify::kRight},
                             {"Kurtosis", Justify::kRight},
                             {"Shapiro-Wilk W", Justify::kRight},
                             {"p-value", Justify::kRight}},
                            {row("Residuals", d.residuals), row("Area effects", d.area_effects)},
                            {.box = kelp::TableBox::kSimpleHeavy,
                             .show_header = true,
                             .header_style = kBold,
                             .show_edge = true,
                             .pad_edge = false}));
  Text r2;
  if (!std::isnan(d.r_squared)) {
    r2.append("R²: ", kBold);
    r2.append(fixed(d.r_squared, 4));
  } else {
    r2.append("Marginal R²: ", kBold);
    r2.append(number(d.r_squared_marginal) + "  ");
    r2.append("Conditional R²: ", kBold);
    r2.append(number(d.r_squared_conditional));
  }
  out.push_back(kelp::paragraph(std::move(r2)));
  for (const auto& [name, s] :
       {std::pair<const char*, const DistributionDiagnostics&>{"residuals", d.residuals},
        {"area effects", d.area_effects}}) {
    if (!s.subsampled) continue;
    out.push_back(kelp::paragraph(
        Text(fmt::format("Shapiro-Wilk test of the {} on a fixed subsample of {} of {} values.",
                         name, s.shapiro_n, s.n),
             {.italic = true})));
  }
  return out;
}

// The console report: statistics grid, fixed-effects table and the
// random-effects line, framed under the title "SAE: <model type> - <level>";
// for direct estimates (model type "Direct") only the method and the counts.
kelp::Renderable report(const SAEResults& r) {
  using kelp::Justify;
  using kelp::Text;
  constexpr kelp::Style kBold{.bold = true};
  constexpr kelp::Style kItalic{.italic = true};
  constexpr kelp::Style kBoldRed{.bold = true, .red = true};

  const SAEStats& s = r.stats();
  Text title("SAE: ");
  title.append(r.model_type(), kBold);
  title.append(" - " + r.level());
  if (r.model_type() == "Direct") {
    // Direct estimates: no model, so no likelihood, effects or variance
    // components to show.
    kelp::Renderable counts = kelp::grid({{.style = kBold}, {.justify = Justify::kRight}},
                                         {{"Method", s.method},
                                          {"No. Areas", std::to_string(s.n_areas)},
                                          {"No. Obs", std::to_string(s.n_obs)}},
                                         /*padding=*/2);
    return kelp::make_panel({std::move(counts)}, std::move(title), "estimate");
  }
  kelp::Renderable stats_grid =
      kelp::grid({{.style = kBold},
                  {.justify = Justify::kRight},
                  {.style = kBold},
                  {.justify = Justify::kRight}},
                 {{"Method", s.method, "Log Likelihood", fixed(s.log_likelihood, 4)},
                  {"No. Areas", std::to_string(s.n_areas), "AIC", fixed(s.aic, 4)},
                  {"No. Obs", std::to_string(s.n_obs), "BIC", fixed(s.bic, 4)},
                  {"ICC", fixed(s.icc, 4), "KIC", fixed(s.kic, 4)}},
                 /*padding=*/2);

  std::vector<std::vector<Text>> rows;
  rows.reserve(r.fixed_effects().size());
  for (const auto& fe : r.fixed_effects()) {
    rows.push_back({fe.term, fixed(fe.est, 4), fixed(fe.se, 4), fixed(fe.t_score, 2),
                    Text(fixed(fe.p_value, 4), fe.p_value < 0.05 ? kBoldRed : kelp::Style{}),
                    fixed(fe.lci, 4), fixed(fe.uci, 4)});
  }
  kelp::Renderable fixed_table = kelp::table({{"Term", Justify::kLeft},
                                              {"Estimate", Justify::kRight},
                                              {"Std.Err", Justify::kRight},
                                              {"z", Justify::kRight},
                                              {"p-value", Justify::kRight},
                                              {"[0.025", Justify::kRight},
                                              {"0.975]", Justify::kRight}},
                                             std::move(rows),
                                             {.box = kelp::TableBox::kSimpleHeavy,
                                              .show_header = true,
                                              .header_style = kBold,
                                              .show_edge = true,
                                              .pad_edge = false});

  const RandomEffect& re = r.random_effects();
  Text re_line("Random Effects: ", kBold);
  re_line.append(term_plain(re) + " (" + re.dist + ") ");
  re_line.append("Sigma: ", kItalic);
  re_line.append(fixed(re.est, 4) + "  ");
  re_line.append("Sigma²: ", kItalic);
  re_line.append(fixed(re.est * re.est, 4));

  std::vector<kelp::Renderable> items{std::move(stats_grid), kelp::blank_line(),
                                      std::move(fixed_table), kelp::blank_line(),
                                      kelp::paragraph(std::move(re_line))};
  const auto add_section = [&items](std::vector<kelp::Renderable> section) {
    items.push_back(kelp::blank_line());
    for (auto& part : section) items.push_back(std::move(part));
  };
  if (r.transformation()) add_section(transformation_section(*r.transformation()));
  if (r.diagnostics()) add_section(diagnostics_section(*r.diagnostics()));
  kelp::Renderable content = kelp::group(std::move(items));

  return kelp::make_panel({std::move(content)}, std::move(title), "estimate");
}

}  // namespace

// ---------------------------------------------------------------------------
// Text forms

std::string to_string(const FixedEffect& r) {
  return fmt::format("FixedEffect(term={}, est={}, se={}, z={}, p={})", py_repr(r.term),
                     fixed(r.est, 4), fixed(r.se, 4), fixed(r.t_score, 2), general4(r.p_value));
}

std::string to_string(const RandomEffect& r) {
  return fmt::format("RandomEffect(term={}, dist={}, sigma={})", py_repr(term_text(r)), r.dist,
                     fixed(r.est, 4));
}

std::string to_string(const SAEStats& r) {
  return fmt::format("SAEStats(method={}, n_areas={}, n_obs={}, sigma_u={}, icc={}, logLik={})",
                     r.method, r.n_areas, r.n_obs, fixed(r.sigma_u, 4), fixed(r.icc, 4),
                     fixed(r.log_likelihood, 4));
}

std::string to_string(const SAEPred& r) {
  // An MSE that was not estimated (NaN) is left blank.
  const auto uncertainty = [](double v) { return std::isnan(v) ? std::string() : fixed(v, 4); };
  return fmt::format("SAEPred(area={}, pred={}, mse={}, cv={})", py_repr(r.area), fixed(r.pred, 4),
                     uncertainty(r.mse), uncertainty(r.cv));
}

std::string SAEResults::render(bool color) const {
  return kelp::render_rich_to_str(report(*this), kelp::resolve_width(*this), color);
}

std::string to_string(const SAEResults& r) { return r.render(false); }

std::ostream& operator<<(std::ostream& os, const FixedEffect& r) { return os << to_string(r); }
std::ostream& operator<<(std::ostream& os, const RandomEffect& r) { return os << to_string(r); }
std::ostream& operator<<(std::ostream& os, const SAEStats& r) { return os << to_string(r); }
std::ostream& operator<<(std::ostream& os, const SAEPred& r) { return os << to_string(r); }
std::ostream& operator<<(std::ostream& os, const SAEResults& r) {
  return os << r.render(kelp::use_color(os));
}

}  // namespace kelp_sae
