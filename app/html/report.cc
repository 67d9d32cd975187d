#include "app/html/report.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <set>
#include <stdexcept>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "app/html/report_scripts.h"
#include "kelp_sae/version.h"

namespace kelp_sae::html {
namespace {

using Json = nlohmann::ordered_json;

// Points of a Q-Q plot or scatter beyond which the page shows an evenly
// spaced selection: the picture does not change, the file stays small.
constexpr std::size_t kMaxPoints = 1000;
constexpr int kChartWidth = 420;
constexpr int kChartHeight = 300;

std::string number(double v, int decimals = 4) {
  if (std::isnan(v)) return "-";
  return fmt::format("{:.{}f}", v, decimals);
}

// A number for JSON: NaN and infinities become null.
Json value(double v) { return std::isfinite(v) ? Json(v) : Json(nullptr); }

// The JSON text placed inside a <script type="application/json"> element:
// "<", ">" and "&" occur only inside strings there and are written as
// \u escapes, so no label can close the element or open a comment.
std::string script_safe_json(const Json& j) {
  const std::string text = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '<':
        out += "\\u003c";
        break;
      case '>':
        out += "\\u003e";
        break;
      case '&':
        out += "\\u0026";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A script inlined in the page: "</script" inside it (only possible in a
// string or regular expression) is written "<\/script", which means the same.
std::string inline_script(std::string_view script) {
  std::string out(script);
  for (std::size_t at = 0; (at = out.find("</script", at)) != std::string::npos; at += 2) {
    out.replace(at, 2, "<\\/");
  }
  return out;
}

// Standard normal quantile by Acklam's rational approximation refined by one
// Halley step (relative error about 1e-15), for Q-Q plot positions.
double normal_quantile(double p) {
  static constexpr double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,
                                 -2.759285104469687e+02, 1.383577518672690e+02,
                                 -3.066479806614716e+01, 2.506628277459239e+00};
  static constexpr double b[] = {-5.447609879822406e+01, 1.615858368580409e+02,
                                 -1.556989798598866e+02, 6.680131188771972e+01,
                                 -1.328068155288572e+01};
  static constexpr double c[] = {-7.784894002430293e-03, -3.223964580411365e-01,
                                 -2.400758277161838e+00, -2.549732539343734e+00,
                                 4.374664141464968e+00,  2.938163982698783e+00};
  static constexpr double d[] = {7.784695709041462e-03, 3.224671290700398e-01,
                                 2.445134137142996e+00, 3.754408661907416e+00};
  double x = 0.0;
  if (p < 0.02425) {
    const double q = std::sqrt(-2.0 * std::log(p));
    x = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
        ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
  } else if (p <= 1.0 - 0.02425) {
    const double q = p - 0.5;
    const double r = q * q;
    x = (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
        (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0);
  } else {
    const double q = std::sqrt(-2.0 * std::log(1.0 - p));
    x = -(((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
        ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0);
  }
  const double e = 0.5 * std::erfc(-x / std::sqrt(2.0)) - p;
  const double u = e * std::sqrt(2.0 * 3.14159265358979323846) * std::exp(x * x / 2.0);
  return x - u / (1.0 + x * u / 2.0);
}

// Indices 0 .. n-1, or kMaxPoints of them evenly spaced (first and last kept).
std::vector<std::size_t> thinned(std::size_t n) {
  std::vector<std::size_t> idx;
  if (n <= kMaxPoints) {
    idx.resize(n);
    std::iota(idx.begin(), idx.end(), std::size_t{0});
    return idx;
  }
  for (std::size_t k = 0; k < kMaxPoints; ++k) idx.push_back(k * (n - 1) / (kMaxPoints - 1));
  return idx;
}

Json base_chart(const std::string& title, Json data) {
  Json chart;
  chart["$schema"] = "https://vega.github.io/schema/vega-lite/v5.json";
  chart["title"] = title;
  chart["width"] = kChartWidth;
  chart["height"] = kChartHeight;
  chart["data"] = {{"values", std::move(data)}};
  return chart;
}

Json axis_field(const std::string& field, const std::string& title) {
  return {
      {"field", field}, {"type", "quantitative"}, {"title", title}, {"scale", {{"zero", false}}}};
}

// A reference line through (lo, lo) and (hi, hi).
Json diagonal(double lo, double hi, const std::string& x, const std::string& y) {
  return {{"data", {{"values", Json::array({{{x, lo}, {y, lo}}, {{x, hi}, {y, hi}}})}}},
          {"mark", {{"type", "line"}, {"color", "#888"}, {"strokeDash", {4, 4}}}},
          {"encoding",
           {{"x", {{"field", x}, {"type", "quantitative"}}},
            {"y", {{"field", y}, {"type", "quantitative"}}}}}};
}

Json qq_plot(const std::string& title, const std::vector<double>& values) {
  std::vector<double> sorted(values);
  std::sort(sorted.begin(), sorted.end());
  const auto n = static_cast<double>(sorted.size());
  Json points = Json::array();
  for (const std::size_t i : thinned(sorted.size())) {
    points.push_back(
        {{"theoretical", normal_quantile((static_cast<double>(i) + 0.625) / (n + 0.25))},
         {"sample", value(sorted[i])}});
  }
  const double lim =
      sorted.empty() ? 1.0 : std::max({3.0, std::fabs(sorted.front()), std::fabs(sorted.back())});
  Json chart = base_chart(title, std::move(points));
  chart["layer"] =
      Json::array({{{"mark", {{"type", "point"}, {"filled", true}, {"size", 18}, {"opacity", 0.7}}},
                    {"encoding",
                     {{"x", axis_field("theoretical", "Normal quantile")},
                      {"y", axis_field("sample", "Standardised value")}}}},
                   diagonal(-std::min(lim, 4.0), std::min(lim, 4.0), "theoretical", "sample")});
  return chart;
}

Json residuals_fitted(const Diagnostics& d) {
  Json points = Json::array();
  const std::size_t n = std::min(d.fitted_values.size(), d.standardized_residuals.size());
  for (const std::size_t i : thinned(n)) {
    points.push_back(
        {{"fitted", value(d.fitted_values[i])}, {"residual", value(d.standardized_residuals[i])}});
  }
  Json chart = base_chart("Standardised residuals against fitted values", std::move(points));
  chart["layer"] =
      Json::array({{{"mark", {{"type", "point"}, {"filled", true}, {"size", 18}, {"opacity", 0.6}}},
                    {"encoding",
                     {{"x", axis_field("fitted", "Fitted value")},
                      {"y", axis_field("residual", "Standardised residual")}}}},
                   {{"mark", {{"type", "rule"}, {"color", "#888"}}},
                    {"encoding", {{"y", {{"datum", 0}, {"type", "quantitative"}}}}}}});
  return chart;
}

Json boxcox_profile(const Diagnostics& d, double lambda) {
  Json points = Json::array();
  for (std::size_t i = 0; i < d.boxcox_lambda.size(); ++i) {
    if (std::isfinite(d.boxcox_loglik[i])) {
      points.push_back({{"lambda", d.boxcox_lambda[i]}, {"loglik", d.boxcox_loglik[i]}});
    }
  }
  Json chart = base_chart("Profile log-likelihood of the Box-Cox lambda", std::move(points));
  Json layers = Json::array({{{"mark", {{"type", "line"}, {"point", true}}},
                              {"encoding",
                               {{"x", axis_field("lambda", "lambda")},
                                {"y",
                                 {{"field", "loglik"},
                                  {"type", "quantitative"},
                                  {"title", "Profile log-likelihood"},
                                  {"scale", {{"zero", false}}}}}}}}});
  if (std::isfinite(lambda)) {
    layers.push_back({{"mark", {{"type", "rule"}, {"color", "#c0392b"}}},
                      {"encoding", {{"x", {{"datum", lambda}, {"type", "quantitative"}}}}}});
  }
  chart["layer"] = std::move(layers);
  return chart;
}

// One indicator's rows: the model estimate of every area, with the direct
// estimate where the area was sampled.
struct Row {
  const SAEPred* pred = nullptr;
  const DirectEstimate* direct = nullptr;
};

double direct_cv(const DirectEstimate& d) {
  return std::isfinite(d.var) && d.est != 0.0 ? std::sqrt(d.var) / std::fabs(d.est) : std::nan("");
}

Json model_vs_direct(const std::string& indicator, const std::vector<Row>& rows,
                     const std::string& direct_label) {
  Json points = Json::array();
  double lo = INFINITY, hi = -INFINITY;
  for (const Row& r : rows) {
    if (r.direct == nullptr) continue;
    points.push_back(
        {{"area", r.pred->area}, {"direct", value(r.direct->est)}, {"model", value(r.pred->pred)}});
    for (const double v : {r.direct->est, r.pred->pred}) {
      if (!std::isfinite(v)) continue;
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
  }
  Json chart = base_chart(indicator + ": model against direct estimates", std::move(points));
  Json layers =
      Json::array({{{"mark", {{"type", "point"}, {"filled", true}, {"size", 30}}},
                    {"encoding",
                     {{"x", axis_field("direct", direct_label)},
                      {"y", axis_field("model", "Model estimate")},
                      {"tooltip", Json::array({{{"field", "area"}, {"title", "Area"}},
                                               {{"field", "direct"}, {"format", ".4f"}},
                                               {{"field", "model"}, {"format", ".4f"}}})}}}}});
  if (lo <= hi) layers.push_back(diagonal(lo, hi, "direct", "model"));
  chart["layer"] = std::move(layers);
  return chart;
}

Json cv_comparison(const std::string& indicator, std::vector<Row> rows,
                   const std::string& direct_label) {
  std::erase_if(rows, [](const Row& r) { return r.direct == nullptr; });
  const bool sizes_known =
      std::all_of(rows.begin(), rows.end(), [](const Row& r) { return r.direct->n > 0; });
  // By sample size; without sizes (an area table) by decreasing sampling
  // variance, which orders the areas the same way for a common variance.
  std::stable_sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
    return sizes_known ? a.direct->n < b.direct->n : a.direct->var > b.direct->var;
  });
  Json points = Json::array();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    const double cvs[] = {direct_cv(*r.direct), r.pred->cv};
    const char* sources[] = {"Direct", "Model"};
    for (int s = 0; s < 2; ++s) {
      if (!std::isfinite(cvs[s])) continue;
      points.push_back({{"rank", i + 1},
                        {"area", r.pred->area},
                        {"n", r.direct->n},
                        {"source", sources[s]},
                        {"cv", cvs[s]}});
    }
  }
  Json chart =
      base_chart(indicator + ": CV of " + direct_label + " and model estimates", std::move(points));
  chart["mark"] = {{"type", "point"}, {"filled", true}, {"size", 30}};
  chart["encoding"] = {
      {"x", axis_field("rank", sizes_known ? "Sampled areas by sample size"
                                           : "Areas by decreasing sampling variance")},
      {"y", axis_field("cv", "Coefficient of variation")},
      {"color", {{"field", "source"}, {"type", "nominal"}, {"title", nullptr}}},
      {"tooltip", Json::array({{{"field", "area"}, {"title", "Area"}},
                               {{"field", "n"}},
                               {{"field", "source"}},
                               {{"field", "cv"}, {"format", ".4f"}}})}};
  return chart;
}

Json intervals(const std::string& indicator, std::vector<Row> rows) {
  std::stable_sort(rows.begin(), rows.end(),
                   [](const Row& a, const Row& b) { return a.pred->pred < b.pred->pred; });
  Json points = Json::array();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const SAEPred& p = *rows[i].pred;
    points.push_back({{"rank", i + 1},
                      {"area", p.area},
                      {"est", value(p.pred)},
                      {"lci", value(p.lci)},
                      {"uci", value(p.uci)}});
  }
  Json chart = base_chart(indicator + ": estimates with 95% intervals", std::move(points));
  chart["width"] = 2 * kChartWidth;
  chart["encoding"] = {{"x", axis_field("rank", "Areas sorted by estimate")},
                       {"tooltip", Json::array({{{"field", "area"}, {"title", "Area"}},
                                                {{"field", "est"}, {"format", ".4f"}},
                                                {{"field", "lci"}, {"format", ".4f"}},
                                                {{"field", "uci"}, {"format", ".4f"}}})}};
  chart["layer"] = Json::array(
      {{{"mark", {{"type", "rule"}, {"color", "#9bb8d3"}}},
        {"encoding", {{"y", axis_field("lci", "Estimate")}, {"y2", {{"field", "uci"}}}}}},
       {{"mark", {{"type", "point"}, {"filled", true}, {"size", 14}, {"color", "#1f4e79"}}},
        {"encoding", {{"y", {{"field", "est"}, {"type", "quantitative"}}}}}}});
  return chart;
}

Json choropleth(const std::string& title, const std::string& field, const std::string& legend) {
  Json chart;
  chart["$schema"] = "https://vega.github.io/schema/vega-lite/v5.json";
  chart["title"] = title;
  chart["width"] = kChartWidth;
  chart["height"] = kChartHeight;
  chart["data"] = {{"name", "shapes"}};
  chart["projection"] = {{"type", "mercator"}};
  chart["mark"] = {{"type", "geoshape"}, {"stroke", "#fff"}, {"strokeWidth", 0.5}};
  chart["encoding"] = {
      {"color", {{"field", "properties." + field}, {"type", "quantitative"}, {"title", legend}}},
      {"tooltip",
       Json::array({{{"field", "properties.kelp_area"}, {"title", "Area"}},
                    {{"field", "properties." + field}, {"title", legend}, {"format", ".4f"}}})}};
  return chart;
}

std::string label_list(const std::vector<std::string>& labels) {
  std::string out;
  for (std::size_t i = 0; i < labels.size() && i < 5; ++i) {
    out += (i ? ", '" : "'") + labels[i].substr(0, 40) + "'";
  }
  if (labels.size() > 5) out += fmt::format(" and {} more", labels.size() - 5);
  return out;
}

// The text form of a GeoJSON property used as an area label: a text as it
// is, an integral number without decimals, anything else as JSON.
std::string property_text(const nlohmann::json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number_integer() || v.is_number_unsigned()) return v.dump();
  if (v.is_number_float()) {
    const double d = v.get<double>();
    if (std::floor(d) == d && std::fabs(d) < 1e15) return fmt::format("{:.0f}", d);
  }
  return v.dump();
}

// Rings in the winding the charting library's spherical geometry expects:
// outer rings clockwise, holes counter-clockwise (in longitude, latitude).
// GeoJSON files written to RFC 7946 wind the other way, which the library
// would draw as the whole globe less the area.
void rewind_polygon(Json& rings) {
  if (!rings.is_array()) return;
  for (std::size_t r = 0; r < rings.size(); ++r) {
    Json& ring = rings[r];
    if (!ring.is_array() || ring.size() < 4) continue;
    double area2 = 0.0;  // twice the signed planar area, positive counter-clockwise
    for (std::size_t i = 0; i + 1 < ring.size(); ++i) {
      const Json& a = ring[i];
      const Json& b = ring[i + 1];
      if (!a.is_array() || !b.is_array() || a.size() < 2 || b.size() < 2 || !a[0].is_number() ||
          !a[1].is_number() || !b[0].is_number() || !b[1].is_number()) {
        return;
      }
      area2 += a[0].get<double>() * b[1].get<double>() - b[0].get<double>() * a[1].get<double>();
    }
    const bool outer = r == 0;
    if ((outer && area2 > 0.0) || (!outer && area2 < 0.0)) {
      std::reverse(ring.begin(), ring.end());
    }
  }
}

void rewind(Json& geometry) {
  if (!geometry.is_object()) return;
  const std::string type = geometry.value("type", "");
  if (type == "Polygon") {
    rewind_polygon(geometry["coordinates"]);
  } else if (type == "MultiPolygon" && geometry["coordinates"].is_array()) {
    for (Json& polygon : geometry["coordinates"]) rewind_polygon(polygon);
  } else if (type == "GeometryCollection" && geometry["geometries"].is_array()) {
    for (Json& g : geometry["geometries"]) rewind(g);
  }
}

// --------------------------------------------------------------------------
// Page text

std::string table_html(const std::vector<std::string>& header,
                       const std::vector<std::vector<std::string>>& rows,
                       const std::string& attrs = "") {
  std::string out = "<table" + attrs + "><thead><tr>";
  for (const auto& h : header) out += "<th>" + escape_html(h) + "</th>";
  out += "</tr></thead><tbody>";
  for (const auto& row : rows) {
    out += "<tr>";
    for (const auto& cell : row) out += "<td>" + escape_html(cell) + "</td>";
    out += "</tr>";
  }
  return out + "</tbody></table>";
}

std::string summary_html(const SAEResults& r) {
  const SAEStats& s = r.stats();
  std::string out = "<section id=\"summary\"><h2>Fit</h2><div class=\"cols\">";
  out += table_html({"Statistic", "Value"},
                    {{"Method", s.method},
                     {"No. Areas", std::to_string(s.n_areas)},
                     {"No. Obs", std::to_string(s.n_obs)},
                     {"Log Likelihood", number(s.log_likelihood)},
                     {"AIC", number(s.aic)},
                     {"BIC", number(s.bic)},
                     {"KIC", number(s.kic)},
                     {"ICC", number(s.icc)}},
                    " class=\"kv\"");
  std::vector<std::vector<std::string>> fixed;
  for (const FixedEffect& f : r.fixed_effects()) {
    fixed.push_back({f.term, number(f.est), number(f.se), number(f.t_score, 2), number(f.p_value),
                     number(f.lci), number(f.uci)});
  }
  out += table_html({"Term", "Estimate", "Std.Err", "z", "p-value", "[0.025", "0.975]"}, fixed);
  const RandomEffect& re = r.random_effects();
  std::string term;
  if (const auto* t = std::get_if<std::string>(&re.term)) {
    term = *t;
  } else {
    for (const auto& item : std::get<std::vector<std::string>>(re.term)) {
      term += (term.empty() ? "" : ", ") + item;
    }
  }
  out += table_html({"Random effect", "Distribution", "Sigma", "Sigma²"},
                    {{term, re.dist, number(re.est), number(re.est * re.est)}});
  out += "</div>";
  if (const auto& t = r.transformation()) {
    out += "<h2>Transformation</h2>";
    out += table_html(
        {"Transformation", "Lambda", "Shift", "Poverty line"},
        {{t->transformation, number(t->lambda), number(t->shift), number(t->poverty_line)}});
    out +=
        "<p class=\"note\">Log likelihood, AIC, BIC and KIC are on the transformed scale, "
        "without the Jacobian of the transformation: do not compare them across "
        "transformations.</p>";
  }
  if (const auto& d = r.diagnostics()) {
    out += "<h2>Diagnostics</h2>";
    const auto row = [](const char* name, const DistributionDiagnostics& x) {
      return std::vector<std::string>{
          name,
          std::to_string(x.n),
          number(x.skewness),
          number(x.kurtosis),
          number(x.shapiro_w),
          number(x.shapiro_p),
          x.subsampled ? fmt::format("subsample of {}", x.shapiro_n) : "all values"};
    };
    out += table_html(
        {"Standardised", "N", "Skewness", "Kurtosis", "Shapiro-Wilk W", "p-value", "Tested on"},
        {row("Residuals", d->residuals), row("Area effects", d->area_effects)});
    if (!std::isnan(d->r_squared)) {
      out += "<p>R²: " + number(d->r_squared) + "</p>";
    } else {
      out += "<p>Marginal R²: " + number(d->r_squared_marginal) +
             " &nbsp; Conditional R²: " + number(d->r_squared_conditional) + "</p>";
    }
  }
  return out + "</section>";
}

// Whether `p` is an aggregate row: area rows come first and carry the area
// column's name as their level; a region's rows carry the region column's.
bool is_aggregate(const SAEResults& r, const SAEPred& p) {
  return !p.level.empty() && !r.prediction().empty() && p.level != r.prediction().front().level;
}

// Every estimate, one row per area and indicator; numbers carry their value
// for sorting.
std::string estimates_table_html(const SAEResults& r) {
  std::string out =
      "<section id=\"estimates\"><h2>Estimates</h2>"
      "<p><label>Filter <input id=\"filter\" type=\"search\" placeholder=\"area or indicator\">"
      "</label> <span id=\"shown\"></span></p>"
      "<table id=\"estimates-table\" class=\"sortable\"><thead><tr>";
  const char* header[] = {"Area", "Indicator", "Estimate", "MSE", "CV", "Lower 95%", "Upper 95%"};
  for (int i = 0; i < 7; ++i) {
    out += fmt::format("<th data-col=\"{}\" data-numeric=\"{}\">{}</th>", i, i >= 2 ? 1 : 0,
                       header[i]);
  }
  out += "</tr></thead><tbody>";
  const auto cell = [](double v) {
    return fmt::format("<td data-v=\"{}\">{}</td>", std::isfinite(v) ? fmt::format("{}", v) : "",
                       number(v));
  };
  for (const SAEPred& p : r.prediction()) {
    // Aggregate rows (a region of --aggregate-to) are marked with their level.
    const bool aggregate = is_aggregate(r, p);
    out += std::string(aggregate ? "<tr class=\"aggregate\">" : "<tr>") + "<td>" +
           escape_html(p.area) +
           (aggregate ? " <small>(" + escape_html(p.level) + ")</small>" : std::string()) +
           "</td><td>" + escape_html(p.indicator) + "</td>" + cell(p.pred) + cell(p.mse) +
           cell(p.cv) + cell(p.lci) + cell(p.uci) + "</tr>";
  }
  return out + "</tbody></table></section>";
}

constexpr const char* kStyle = R"css(
body{font-family:system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;margin:24px;color:#222;max-width:1400px}
h1{font-size:1.4em;margin-bottom:0}h2{font-size:1.15em;margin-top:1.6em;border-bottom:1px solid #ddd}
.sub{color:#666;margin-top:4px}.cols{display:flex;flex-wrap:wrap;gap:24px;align-items:flex-start}
table{border-collapse:collapse;font-size:13px;margin:6px 0}th,td{padding:3px 8px;border-bottom:1px solid #eee;text-align:right}
th:first-child,td:first-child{text-align:left}th{background:#f5f7fa}
table.sortable th{cursor:pointer;user-select:none}table.sortable th.asc::after{content:" \25B2"}table.sortable th.desc::after{content:" \25BC"}
#estimates-table td:nth-child(2){text-align:left}
.charts{display:flex;flex-wrap:wrap;gap:16px}.chart{min-width:300px;min-height:200px}
.note{color:#555;font-style:italic}.warning{background:#fff4e5;border-left:4px solid #f0a500;padding:6px 10px}
#report-status{display:none}
)css";

// Draws every chart, records script errors in #report-status (a browser
// test reads it), and makes the estimates table sortable and filterable.
constexpr const char* kMain = R"js(
(function () {
  var status = document.getElementById('report-status');
  var errors = [];
  function note(message) {
    errors.push(String(message));
    status.setAttribute('data-errors', String(errors.length));
    status.textContent = errors.join('\n');
  }
  window.addEventListener('error', function (e) { note(e.message); });
  var data = JSON.parse(document.getElementById('report-data').textContent);
  var jobs = data.charts.map(function (c) {
    var chart = c.chart;
    if (data.datasets) chart.datasets = data.datasets;
    return vegaEmbed(document.getElementById(c.id), chart, {actions: false, renderer: 'svg'})
      .catch(function (e) { note(c.id + ': ' + e); });
  });
  Promise.all(jobs).then(function () { status.setAttribute('data-done', 'true'); });

  var table = document.getElementById('estimates-table');
  var body = table.tBodies[0];
  var rows = Array.prototype.slice.call(body.rows);
  var shown = document.getElementById('shown');
  function count() {
    var n = rows.filter(function (r) { return r.style.display !== 'none'; }).length;
    shown.textContent = n + ' of ' + rows.length + ' rows';
  }
  document.getElementById('filter').addEventListener('input', function (e) {
    var q = e.target.value.toLowerCase();
    rows.forEach(function (r) {
      var text = (r.cells[0].textContent + ' ' + r.cells[1].textContent).toLowerCase();
      r.style.display = text.indexOf(q) >= 0 ? '' : 'none';
    });
    count();
  });
  Array.prototype.forEach.call(table.tHead.rows[0].cells, function (th) {
    th.addEventListener('click', function () {
      var col = Number(th.getAttribute('data-col'));
      var numeric = th.getAttribute('data-numeric') === '1';
      var asc = !th.classList.contains('asc');
      Array.prototype.forEach.call(table.tHead.rows[0].cells, function (h) {
        h.classList.remove('asc', 'desc');
      });
      th.classList.add(asc ? 'asc' : 'desc');
      var key = function (r) {
        var cell = r.cells[col];
        if (!numeric) return cell.textContent;
        var v = cell.getAttribute('data-v');
        return v === '' ? NaN : Number(v);
      };
      rows.sort(function (a, b) {
        var x = key(a), y = key(b);
        if (numeric) {
          if (isNaN(x)) return isNaN(y) ? 0 : 1;
          if (isNaN(y)) return -1;
          return asc ? x - y : y - x;
        }
        return asc ? x.localeCompare(y) : y.localeCompare(x);
      });
      rows.forEach(function (r) { body.appendChild(r); });
    });
  });
  count();
})();
)js";

}  // namespace

std::string escape_html(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

void check_shapes(const nlohmann::json& geo, const std::string& key) {
  if (!geo.is_object() || geo.value("type", "") != "FeatureCollection" ||
      !geo.contains("features") || !geo["features"].is_array()) {
    throw std::invalid_argument("the shapes are not a GeoJSON FeatureCollection");
  }
  for (const auto& feature : geo["features"]) {
    if (feature.is_object() && feature.contains("properties") &&
        feature["properties"].is_object() && feature["properties"].contains(key)) {
      return;
    }
  }
  throw std::invalid_argument("no shape has the property '" + key.substr(0, 60) + "'");
}

Report build_report(const SAEResults& result, const ReportOptions& options) {
  if (!have_report_scripts()) {
    throw std::runtime_error(
        "this kelp-sae was built without the report's charting scripts; run "
        "scripts/install_deps.sh (npm ci in app/html) and build again");
  }
  Report report;
  Json charts = Json::array();
  std::string chart_divs;
  const auto add_chart = [&](const std::string& section, Json chart) {
    const std::string id = fmt::format("chart-{}", charts.size());
    chart_divs += "<div class=\"chart\" id=\"" + id + "\" data-section=\"" + section + "\"></div>";
    charts.push_back({{"id", id}, {"chart", std::move(chart)}});
  };
  const auto open_section = [&](const std::string& title) {
    chart_divs += "<h2>" + escape_html(title) + "</h2><div class=\"charts\">";
  };
  const auto close_section = [&] { chart_divs += "</div>"; };

  if (const auto& d = result.diagnostics()) {
    open_section("Model checks");
    add_chart("diagnostics",
              qq_plot("Normal Q-Q plot of the standardised residuals", d->standardized_residuals));
    add_chart("diagnostics", qq_plot("Normal Q-Q plot of the standardised area effects",
                                     d->standardized_area_effects));
    add_chart("diagnostics", residuals_fitted(*d));
    if (!d->boxcox_lambda.empty()) {
      const double lambda =
          result.transformation() ? result.transformation()->lambda : std::nan("");
      add_chart("diagnostics", boxcox_profile(*d, lambda));
    }
    close_section();
  }

  // Indicators in order of first appearance, with their rows.
  std::vector<std::string> indicators;
  std::map<std::string, std::vector<Row>> rows;
  std::map<std::pair<std::string, std::string>, const DirectEstimate*> direct;
  for (const DirectEstimate& e : result.direct_estimates()) {
    direct[{e.area, e.indicator}] = &e;
  }
  for (const SAEPred& p : result.prediction()) {
    if (is_aggregate(result, p)) continue;  // the charts and maps show areas
    if (!rows.contains(p.indicator)) indicators.push_back(p.indicator);
    // Fay-Herriot's direct estimates carry the default indicator "mean".
    auto it = direct.find({p.area, p.indicator});
    if (it == direct.end()) it = direct.find({p.area, "mean"});
    rows[p.indicator].push_back({&p, it == direct.end() ? nullptr : it->second});
  }

  // Shapes joined on the area label: per indicator its estimate and CV as
  // properties e<k> and c<k>, the label as kelp_area.
  Json shapes = Json::array();
  if (options.shapes != nullptr) {
    const nlohmann::json& geo = *options.shapes;
    check_shapes(geo, options.shapes_key);
    std::map<std::string, std::vector<const SAEPred*>> by_area;
    std::vector<std::string> areas;
    for (const SAEPred& p : result.prediction()) {
      if (is_aggregate(result, p)) continue;
      if (!by_area.contains(p.area)) areas.push_back(p.area);
      by_area[p.area].push_back(&p);
    }
    std::set<std::string> drawn;
    std::vector<std::string> unmatched_shapes;
    for (const auto& feature : geo["features"]) {
      if (!feature.is_object() || !feature.contains("properties") ||
          !feature["properties"].is_object() ||
          !feature["properties"].contains(options.shapes_key)) {
        continue;
      }
      const std::string label = property_text(feature["properties"][options.shapes_key]);
      Json out;
      out["type"] = "Feature";
      out["geometry"] =
          feature.contains("geometry") ? Json::parse(feature["geometry"].dump()) : Json(nullptr);
      rewind(out["geometry"]);
      Json props;
      props["kelp_area"] = label;
      const auto found = by_area.find(label);
      if (found == by_area.end()) {
        unmatched_shapes.push_back(label);
      } else {
        drawn.insert(label);
        for (const SAEPred* p : found->second) {
          const auto k = static_cast<std::size_t>(
              std::find(indicators.begin(), indicators.end(), p->indicator) - indicators.begin());
          props[fmt::format("e{}", k)] = value(p->pred);
          props[fmt::format("c{}", k)] = value(p->cv);
        }
      }
      out["properties"] = std::move(props);
      shapes.push_back(std::move(out));
    }
    std::vector<std::string> missing;
    for (const auto& a : areas) {
      if (!drawn.contains(a)) missing.push_back(a);
    }
    if (!missing.empty()) {
      report.warnings.push_back(fmt::format("{} of {} areas have no shape: {}.", missing.size(),
                                            areas.size(), label_list(missing)));
    }
    if (!unmatched_shapes.empty()) {
      report.warnings.push_back(fmt::format("{} shapes have no estimate: {}.",
                                            unmatched_shapes.size(), label_list(unmatched_shapes)));
    }
  }

  for (std::size_t k = 0; k < indicators.size(); ++k) {
    const std::string& name = indicators[k];
    const std::vector<Row>& ind_rows = rows[name];
    open_section(name);
    const bool any_direct = std::any_of(ind_rows.begin(), ind_rows.end(),
                                        [](const Row& r) { return r.direct != nullptr; });
    if (any_direct) {
      add_chart("indicator", model_vs_direct(name, ind_rows, options.direct_label));
      add_chart("indicator", cv_comparison(name, ind_rows, options.direct_label));
    }
    add_chart("indicator", intervals(name, ind_rows));
    if (options.shapes != nullptr) {
      add_chart("map", choropleth(name + ": estimate", fmt::format("e{}", k), "Estimate"));
      add_chart("map", choropleth(name + ": CV", fmt::format("c{}", k), "CV"));
    }
    close_section();
  }

  Json data;
  data["charts"] = std::move(charts);
  if (options.shapes != nullptr) data["datasets"] = {{"shapes", std::move(shapes)}};

  const std::string title = "SAE: " + result.model_type() + " - " + result.level();
  std::string& html = report.html;
  html +=
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">";
  html += "<title>" + escape_html(title) + "</title><style>" + kStyle + "</style>";
  html += "<script>" + inline_script(vega_script()) + "</script>\n";
  html += "<script>" + inline_script(vega_lite_script()) + "</script>\n";
  html += "<script>" + inline_script(vega_embed_script()) + "</script>\n";
  html += "</head><body><h1>" + escape_html(title) + "</h1>";
  html += "<p class=\"sub\">Response: " + escape_html(result.y()) + " &middot; kelp-sae " +
          version + "</p>";
  for (const std::string& w : report.warnings) {
    html += "<p class=\"warning\">" + escape_html(w) + "</p>";
  }
  html += summary_html(result);
  html += chart_divs;
  html += estimates_table_html(result);
  html += "<div id=\"report-status\" data-errors=\"0\"></div>";
  html += "<script type=\"application/json\" id=\"report-data\">" + script_safe_json(data) +
          "</script>";
  html += std::string("<script>") + kMain + "</script></body></html>\n";
  return report;
}

}  // namespace kelp_sae::html
