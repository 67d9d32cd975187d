#include "kelp_sae/core/containers.h"

#include "kelp/printing.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <system_error>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace kelp_sae {
namespace {

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

nlohmann::ordered_json fixed_effect_json(const FixedEffect& r) {
  return {{"term", r.term},       {"est", r.est}, {"se", r.se},  {"t_score", r.t_score},
          {"p_value", r.p_value}, {"lci", r.lci}, {"uci", r.uci}};
}

nlohmann::ordered_json random_effect_json(const RandomEffect& r) {
  nlohmann::ordered_json j;
  if (const auto* s = std::get_if<std::string>(&r.term)) {
    j["term"] = *s;
  } else {
    j["term"] = std::get<std::vector<std::string>>(r.term);
  }
  j["dist"] = r.dist;
  j["est"] = r.est;
  j["se"] = r.se;
  return j;
}

nlohmann::ordered_json stats_json(const SAEStats& r) {
  nlohmann::ordered_json j;
  j["method"] = r.method;
  j["n_obs"] = r.n_obs;
  j["n_areas"] = r.n_areas;
  j["sigma_u"] = r.sigma_u;
  j["sigma_e"] = r.sigma_e;
  j["log_likelihood"] = r.log_likelihood;
  j["aic"] = r.aic;
  j["bic"] = r.bic;
  j["kic"] = r.kic;
  j["icc"] = r.icc;
  return j;
}

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

// The console report: statistics grid, fixed-effects table and the
// random-effects line, framed under the title "SAE: <model type> - <level>".
kelp::Renderable report(const SAEResults& r) {
  using kelp::Justify;
  using kelp::Text;
  constexpr kelp::Style kBold{.bold = true};
  constexpr kelp::Style kItalic{.italic = true};
  constexpr kelp::Style kBoldRed{.bold = true, .red = true};

  const SAEStats& s = r.stats();
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

  kelp::Renderable content =
      kelp::group({std::move(stats_grid), kelp::blank_line(), std::move(fixed_table),
                   kelp::blank_line(), kelp::paragraph(std::move(re_line))});

  Text title("SAE: ");
  title.append(r.model_type(), kBold);
  title.append(" - " + r.level());
  return kelp::make_panel({std::move(content)}, std::move(title), "estimate");
}

}  // namespace

// ---------------------------------------------------------------------------
// Records

nlohmann::ordered_json SAEPred::to_dict() const {
  nlohmann::ordered_json j;
  j["area"] = area;
  j["pred"] = pred;
  j["mse"] = mse;
  j["cv"] = cv;
  j["lci"] = lci;
  j["uci"] = uci;
  j["indicator"] = indicator;
  return j;
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

// ---------------------------------------------------------------------------
// Exports

nlohmann::ordered_json SAEResults::to_dict() const {
  nlohmann::ordered_json j;
  j["level"] = level_;
  j["y"] = y_;
  j["model_type"] = model_type_;
  j["stats"] = stats_json(stats_);
  j["fixed_effects"] = nlohmann::ordered_json::array();
  for (const auto& fe : fixed_effects_) j["fixed_effects"].push_back(fixed_effect_json(fe));
  j["random_effects"] = random_effect_json(random_effects_);
  j["prediction"] = nlohmann::ordered_json::array();
  for (const auto& p : prediction_) j["prediction"].push_back(p.to_dict());
  return j;
}

kelp::Table SAEResults::to_table(std::string_view component) const {
  using kelp::Column;
  if (component == "fixed") {
    const auto n = fixed_effects_.size();
    std::vector<std::string> term;
    std::vector<double> est, se, t, p, lci, uci;
    term.reserve(n);
    for (const auto& fe : fixed_effects_) {
      term.push_back(fe.term);
      est.push_back(fe.est);
      se.push_back(fe.se);
      t.push_back(fe.t_score);
      p.push_back(fe.p_value);
      lci.push_back(fe.lci);
      uci.push_back(fe.uci);
    }
    return kelp::Table(
        std::vector<std::pair<std::string, Column>>{{"term", Column(std::move(term))},
                                                    {"est", Column(std::move(est))},
                                                    {"se", Column(std::move(se))},
                                                    {"t_score", Column(std::move(t))},
                                                    {"p_value", Column(std::move(p))},
                                                    {"lci", Column(std::move(lci))},
                                                    {"uci", Column(std::move(uci))}});
  }
  if (component == "predictions") {
    std::vector<std::string> area, indicator;
    std::vector<double> pred, mse, cv, lci, uci;
    for (const auto& p : prediction_) {
      area.push_back(p.area);
      pred.push_back(p.pred);
      mse.push_back(p.mse);
      cv.push_back(p.cv);
      lci.push_back(p.lci);
      uci.push_back(p.uci);
      indicator.push_back(p.indicator);
    }
    return kelp::Table(
        std::vector<std::pair<std::string, Column>>{{"area", Column(std::move(area))},
                                                    {"pred", Column(std::move(pred))},
                                                    {"mse", Column(std::move(mse))},
                                                    {"cv", Column(std::move(cv))},
                                                    {"lci", Column(std::move(lci))},
                                                    {"uci", Column(std::move(uci))},
                                                    {"indicator", Column(std::move(indicator))}});
  }
  if (component == "random") {
    const auto& r = random_effects_;
    return kelp::Table(std::vector<std::pair<std::string, Column>>{
        {"term", Column(std::vector<std::string>{term_text(r)})},
        {"dist", Column(std::vector<std::string>{r.dist})},
        {"est", Column(std::vector<double>{r.est})},
        {"se", Column(std::vector<double>{r.se})}});
  }
  throw std::invalid_argument(
      fmt::format("Invalid component {}. Expected one of ['fixed', 'predictions', 'random'].",
                  py_repr(component)));
}

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
  return fmt::format("SAEPred(area={}, pred={}, mse={}, cv={})", py_repr(r.area), fixed(r.pred, 4),
                     fixed(r.mse, 4), fixed(r.cv, 4));
}

std::string to_string(const OptimizationResult& r) {
  return fmt::format("OptimizationResult(success={}, fun={}, message={})",
                     r.success ? "True" : "False", float_repr(r.fun), r.message);
}

std::string SAEResults::render(bool color) const {
  return kelp::render_rich_to_str(report(*this), kelp::resolve_width(*this), color);
}

std::string to_string(const SAEResults& r) { return r.render(false); }

std::ostream& operator<<(std::ostream& os, const FixedEffect& r) { return os << to_string(r); }
std::ostream& operator<<(std::ostream& os, const RandomEffect& r) { return os << to_string(r); }
std::ostream& operator<<(std::ostream& os, const SAEStats& r) { return os << to_string(r); }
std::ostream& operator<<(std::ostream& os, const SAEPred& r) { return os << to_string(r); }
std::ostream& operator<<(std::ostream& os, const OptimizationResult& r) {
  return os << to_string(r);
}
std::ostream& operator<<(std::ostream& os, const SAEResults& r) {
  return os << r.render(kelp::use_color(os));
}

}  // namespace kelp_sae
