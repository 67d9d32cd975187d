#include "app/html/report.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include <nlohmann/json.hpp>

#include "app/html/report_scripts.h"

namespace kelp_sae::html {
namespace {

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

// Rows of the estimates table.
std::size_t table_rows(const std::string& html) {
  const std::size_t begin = html.find("id=\"estimates-table\"");
  const std::size_t end = html.find("</table>", begin);
  return count(html.substr(begin, end - begin), "<tr><td>");
}

// `areas` areas, two indicators, direct estimates for the even ones.
SAEResults result(int areas, const std::string& first_label = "a0") {
  std::vector<SAEPred> pred;
  std::vector<DirectEstimate> direct;
  for (int i = 0; i < areas; ++i) {
    const std::string label = i == 0 ? first_label : "a" + std::to_string(i);
    pred.push_back({label, 10.0 + i, 0.5, 0.07, 9.0 + i, 11.0 + i, "Mean"});
    pred.push_back({label, 0.2, 0.001, 0.15, 0.14, 0.26, "Head Count"});
    if (i % 2 == 0) {
      direct.push_back(
          {.area = label, .indicator = "Mean", .est = 9.5 + i, .var = 1.0, .n = i + 3});
    }
  }
  SAEResults r("Unit Level", "income", "EBP (boxcox)",
               {.method = "REML", .n_obs = 100, .n_areas = areas, .sigma_u = 0.5, .sigma_e = 1.0},
               {{"Intercept", 1.0, 0.1, 10.0, 0.0, 0.8, 1.2}}, {"Area", "Normal", 0.5, 0.0},
               std::move(pred));
  Diagnostics d;
  for (int j = 0; j < 3000; ++j) {
    d.standardized_residuals.push_back(std::sin(j));
    d.fitted_values.push_back(j * 0.01);
  }
  d.standardized_area_effects = {-1.0, 0.0, 1.0};
  d.boxcox_lambda = {-1.0, 0.0, 1.0};
  d.boxcox_loglik = {-12.0, -10.0, std::nan("")};
  r.set_diagnostics(d);
  r.set_direct_estimates(std::move(direct));
  r.set_transformation(TransformationInfo{"boxcox", 0.1, 0.0, 50.0});
  return r;
}

TEST(HtmlReport, LabelsAreTextAndEveryAreaIsInTheTable) {
  if (!have_report_scripts()) GTEST_SKIP() << "built without the charting scripts";
  const std::string evil = "<script>document.title='pwned'</script>&\"'";
  const Report page = build_report(result(4, evil));
  // The label shows as text in the table and never as markup anywhere.
  EXPECT_EQ(count(page.html, evil), 0u);
  EXPECT_EQ(count(page.html,
                  "<td>&lt;script&gt;document.title=&#39;pwned&#39;&lt;/script&gt;"
                  "&amp;&quot;&#39;</td>"),
            2u);
  EXPECT_NE(page.html.find("\\u003cscript\\u003edocument.title"), std::string::npos);
  // Two rows per area (two indicators), one chart element per chart: model
  // checks 4, Mean 3 (with direct estimates), Head Count 1.
  EXPECT_EQ(table_rows(page.html), 8u);
  EXPECT_EQ(count(page.html, "class=\"chart\""), 8u);
  EXPECT_TRUE(page.warnings.empty());
}

// A region of --aggregate-to is marked in the table and stays out of the
// charts, even when it is labelled like an area.
TEST(HtmlReport, AggregateRowsAreMarkedAndKeptOutOfTheCharts) {
  if (!have_report_scripts()) GTEST_SKIP() << "built without the charting scripts";
  SAEResults r = result(4);
  std::vector<SAEPred> pred = r.prediction();
  for (SAEPred& p : pred) p.level = "area";
  for (int k = 0; k < 2; ++k) {
    SAEPred region = pred[static_cast<std::size_t>(k)];
    region.level = "region";
    pred.push_back(region);
  }
  r.set_prediction(std::move(pred));
  const Report page = build_report(r);
  EXPECT_EQ(table_rows(page.html), 8u);
  EXPECT_EQ(count(page.html, "<tr class=\"aggregate\"><td>a0 <small>(region)</small></td>"), 2u);
  EXPECT_EQ(count(page.html, "class=\"chart\""), 8u);
}

TEST(HtmlReport, ShapesJoinOnTheKeyAndMismatchesAreWarned) {
  if (!have_report_scripts()) GTEST_SKIP() << "built without the charting scripts";
  const auto square = [](double x) {
    return nlohmann::json{{"type", "Polygon"},
                          {"coordinates", {{{x, 0}, {x + 1, 0}, {x + 1, 1}, {x, 1}, {x, 0}}}}};
  };
  nlohmann::json shapes = {{"type", "FeatureCollection"}, {"features", nlohmann::json::array()}};
  // Areas a0 and a1 have shapes (a numeric-looking key is matched by text),
  // a2 has none; shape "zz" has no estimate.
  for (const std::string key : {"a0", "a1", "zz"}) {
    shapes["features"].push_back(
        {{"type", "Feature"}, {"properties", {{"code", key}}}, {"geometry", square(0)}});
  }
  const Report page = build_report(result(3), {.shapes = &shapes, .shapes_key = "code"});
  ASSERT_EQ(page.warnings.size(), 2u);
  EXPECT_EQ(page.warnings[0], "1 of 3 areas have no shape: 'a2'.");
  EXPECT_EQ(page.warnings[1], "1 shapes have no estimate: 'zz'.");
  EXPECT_EQ(count(page.html, "data-section=\"map\""), 4u);

  EXPECT_THROW(build_report(result(3), {.shapes = &shapes, .shapes_key = "name"}),
               std::invalid_argument);
  const nlohmann::json not_geo = {{"type", "Feature"}};
  EXPECT_THROW(build_report(result(3), {.shapes = &not_geo, .shapes_key = "code"}),
               std::invalid_argument);
}

TEST(HtmlReport, AThousandAreasStayUnderEightMegabytes) {
  if (!have_report_scripts()) GTEST_SKIP() << "built without the charting scripts";
  const Report page = build_report(result(1000));
  EXPECT_LT(page.html.size(), 8u * 1024u * 1024u);
  EXPECT_EQ(table_rows(page.html), 2000u);
}

}  // namespace
}  // namespace kelp_sae::html
