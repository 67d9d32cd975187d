#include "kelp/sample.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <map>

namespace kelp {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr double kTol = 1e-12;

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "no error";
}

TEST(SrsEstimation, MeanSeIsSdOverRootN) {
  // y = 2, 4, 6, 8: mean 5, s^2 = 20/3, se = sqrt(s^2/4) = sqrt(5/3).
  const Sample s(Table({{"y", Column({2, 4, 6, 8})}, {"g", Column({"a", "a", "a", "a"})}}));
  const Estimate e = s.estimation().mean({.y = "y", .by = "g"});
  ASSERT_EQ(e.est().size(), 1u);
  EXPECT_NEAR(e.est()[0], 5.0, kTol);
  EXPECT_NEAR(e.se()[0], std::sqrt(5.0 / 3.0), kTol);
  // Total with weight 1: 20, z = y, var = 4/3 * sum (y - 5)^2 = 4/3 * 20.
  const Estimate t = s.estimation().total({.y = "y", .by = "g"});
  EXPECT_NEAR(t.est()[0], 20.0, kTol);
  EXPECT_NEAR(t.se()[0], std::sqrt(80.0 / 3.0), kTol);
}

TEST(SrsEstimation, DomainsAreUnconditional) {
  // y = 1, 2, 3 | 10, 20 in domains a | b, n = 5.
  // a: est 2, z = (y - 2)/3 = -1/3, 0, 1/3, 0, 0; zbar = 0; var = 5/4 * 2/9.
  // b: est 15, z = 0, 0, 0, -2.5, 2.5; var = 5/4 * 12.5.
  const Sample s(Table(
      {{"y", Column({1.0, 2.0, 3.0, 10.0, 20.0})}, {"area", Column({"a", "a", "a", "b", "b"})}}));
  const Estimate e = s.estimation().mean({.y = "y", .by = "area"});
  EXPECT_THAT(e.by_level().text_values(), ElementsAre("a", "b"));
  EXPECT_NEAR(e.est()[0], 2.0, kTol);
  EXPECT_NEAR(e.est()[1], 15.0, kTol);
  EXPECT_NEAR(e.se()[0], std::sqrt(5.0 / 18.0), kTol);
  EXPECT_NEAR(e.se()[1], std::sqrt(15.625), kTol);
}

TEST(SrsEstimation, NullDomainRowsStillCountAsUnits) {
  // y = 2, 4, 6 in domain a and 8 outside every domain (null by), n = 4.
  // a: est 4, z = (y - 4)/3 = -2/3, 0, 2/3, 0; var = 4/3 * 8/9 = 32/27.
  // (Dropping the row would give 3/2 * 8/9 = 4/3 instead.)
  const Sample s(
      Table({{"y", Column({2.0, 4.0, 6.0, kelp::null})}, {"g", Column({7, 7, 7, kelp::null})}}));
  const Estimate e = s.estimation().mean({.y = "y", .by = "g"});
  ASSERT_EQ(e.est().size(), 1u);
  EXPECT_EQ(e.by_level().type(), DataType::Int64);
  EXPECT_NEAR(e.est()[0], 4.0, kTol);
  EXPECT_NEAR(e.se()[0], std::sqrt(32.0 / 27.0), kTol);
}

// Two strata of two PSUs each, six units; PSU labels 1 and 2 reused in both
// strata (nested), so the PSUs are (h1,1), (h1,2), (h2,1), (h2,2).
//   row  h   psu  w  y  x  dom  y>3
//   1    h1  1    2  1  1  A    0
//   2    h1  1    2  3  1  B    0
//   3    h1  2    3  2  2  A    0
//   4    h2  1    1  4  2  A    1
//   5    h2  2    4  5  1  B    1
//   6    h2  2    4  6  2  A    1
Table stratified_table() {
  return Table({{"h", Column({"h1", "h1", "h1", "h2", "h2", "h2"})},
                {"psu", Column({1, 1, 2, 1, 2, 2})},
                {"w", Column({2.0, 2.0, 3.0, 1.0, 4.0, 4.0})},
                {"y", Column({1.0, 3.0, 2.0, 4.0, 5.0, 6.0})},
                {"x", Column({1, 1, 2, 2, 1, 2})},
                {"big", Column({0, 0, 0, 1, 1, 1})},
                {"dom", Column({"A", "B", "A", "A", "B", "A"})}});
}

const Design kStratified{.weight = "w", .strata = "h", .psu = "psu"};

TEST(StratifiedEstimation, HandWorkedDesign) {
  const Sample s(stratified_table(), kStratified);
  const auto est = s.estimation();
  const struct {
    const char* label;
    Estimate result;
    double est_a, se_a;
  } cases[] = {
      // Total, A: 2*1 + 3*2 + 1*4 + 4*6 = 36. PSU totals of w y: 2, 6 | 4, 24.
      // var = 2 * (2^2 + 2^2) + 2 * (10^2 + 10^2) = 16 + 400 = 416.
      {"total", est.total({.y = "y", .by = "dom"}), 36.0, std::sqrt(416.0)},
      // Mean, A: W = 10, est = 3.6; z = w (y - 3.6)/10 -> PSU totals
      // -0.52, -0.48 | 0.04, 0.96; var = 2*(2*0.02^2) + 2*(2*0.46^2) = 0.848.
      {"mean", est.mean({.y = "y", .by = "dom"}), 3.6, std::sqrt(0.848)},
      // Ratio y/x, A: X = 2 + 6 + 2 + 8 = 18, R = 2; z = w (y - 2x)/18 ->
      // PSU totals -1/9, -1/3 | 0, 4/9; var = 2*2*(1/9)^2 + 2*2*(2/9)^2 = 20/81.
      {"ratio", est.ratio({.y = "y", .x = "x", .by = "dom"}), 2.0, std::sqrt(20.0) / 9.0},
      // Proportion of big, A: (1 + 4)/10 = 0.5; z = w (big - 0.5)/10 -> PSU
      // totals -0.1, -0.15 | 0.05, 0.2; var = 2*2*0.025^2 + 2*2*0.075^2 = 0.025.
      {"proportion", est.proportion({.y = "big", .by = "dom"}), 0.5, std::sqrt(0.025)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_THAT(c.result.by_level().text_values(), ElementsAre("A", "B"));
    EXPECT_NEAR(c.result.est()[0], c.est_a, kTol);
    EXPECT_NEAR(c.result.se()[0], c.se_a, kTol);
  }
  // Mean, B: rows 2 and 5, W = 6, est = 26/6; z = -4/9 in (h1,1), 4/9 in
  // (h2,2); each stratum: mean +-2/9, deviations +-2/9: var = 2 * 2 * 2 * 4/81.
  const Estimate b = est.mean({.y = "y", .by = "dom"});
  EXPECT_NEAR(b.est()[1], 26.0 / 6.0, kTol);
  EXPECT_NEAR(b.se()[1], std::sqrt(32.0) / 9.0, kTol);
}

TEST(StratifiedEstimation, SinglePsuStratumCentredAtGrandMean) {
  // The six units above plus a stratum h3 with one PSU: unit w 2, y 3, in A.
  // Total, A: 36 + 6 = 42. PSU totals 2, 6 | 4, 24 | 6; grand mean 42/5.
  // var = 16 + 400 + (6 - 8.4)^2 = 421.76.
  const Table six = stratified_table();
  const Table seventh({{"h", Column({"h3"})},
                       {"psu", Column({1})},
                       {"w", Column({2.0})},
                       {"y", Column({3.0})},
                       {"dom", Column({"A"})}});
  std::vector<std::pair<std::string, Column>> cols;
  for (const std::string name : {"h", "psu", "w", "y", "dom"}) {
    const Column& a = six.column(name);
    const Column& b = seventh.column(name);
    std::vector<Value> v;
    for (std::size_t i = 0; i < a.size(); ++i) v.push_back(a.value(i));
    v.push_back(b.value(0));
    cols.emplace_back(name, Column::from_values(v));
  }
  const Sample s{Table(cols), kStratified};
  const Estimate t = s.estimation().total({.y = "y", .by = "dom"});
  EXPECT_NEAR(t.est()[0], 42.0, kTol);
  EXPECT_NEAR(t.se()[0], std::sqrt(421.76), 1e-12);
  // B holds no unit of h3: its lonely PSU total 0 deviates by the grand mean.
  // B total: 2*3 + 4*5 = 26, PSU totals 6, 0 | 0, 20 | 0; grand mean 26/5.
  // var = 2*(3^2+3^2) + 2*(10^2+10^2) + (26/5)^2 = 36 + 400 + 27.04.
  EXPECT_NEAR(t.est()[1], 26.0, kTol);
  EXPECT_NEAR(t.se()[1], std::sqrt(463.04), 1e-12);
}

TEST(StratifiedEstimation, OnePsuInTheWholeSampleGivesNaN) {
  const Sample s(Table({{"y", Column({1.0, 2.0})}, {"p", Column({1, 1})}, {"g", Column({1, 1})}}),
                 {.psu = "p"});
  const Estimate e = s.estimation().mean({.y = "y", .by = "g"});
  EXPECT_NEAR(e.est()[0], 1.5, kTol);
  EXPECT_TRUE(std::isnan(e.se()[0]));
}

// The textbook computation over all units: z over every row (zero outside
// the domain), PSU totals, squared deviations within strata, lonely strata
// centred at the grand mean of PSU totals.
double naive_domain_total_se(const std::vector<int>& stratum, const std::vector<int>& psu,
                             const std::vector<double>& w, const std::vector<double>& y,
                             const std::vector<int>& dom, int level) {
  std::map<std::pair<int, int>, double> psu_total;
  for (std::size_t i = 0; i < y.size(); ++i) {
    psu_total[{stratum[i], psu[i]}] += dom[i] == level ? w[i] * y[i] : 0.0;
  }
  std::map<int, std::vector<double>> by_stratum;
  double grand = 0.0;
  for (const auto& [key, z] : psu_total) {
    by_stratum[key.first].push_back(z);
    grand += z;
  }
  grand /= static_cast<double>(psu_total.size());
  double var = 0.0;
  for (const auto& [h, totals] : by_stratum) {
    const double n_h = static_cast<double>(totals.size());
    if (totals.size() == 1) {
      var += (totals[0] - grand) * (totals[0] - grand);
      continue;
    }
    double mean = 0.0;
    for (double z : totals) mean += z / n_h;
    for (double z : totals) var += n_h / (n_h - 1.0) * (z - mean) * (z - mean);
  }
  return std::sqrt(var);
}

TEST(StratifiedEstimation, AgreesWithTextbookComputationOnLargerDesign) {
  // 400 units, 9 strata (the last two with one PSU), up to 5 PSUs per stratum,
  // 6 domains scattered across PSUs, some units in no domain.
  const std::size_t n = 400;
  std::vector<int> stratum(n), psu(n), dom(n);
  std::vector<double> w(n), y(n);
  std::vector<Value> dom_values(n);
  unsigned state = 12345;
  auto next = [&state](unsigned m) {
    state = state * 1103515245u + 12345u;
    return static_cast<int>((state >> 16) % m);
  };
  for (std::size_t i = 0; i < n; ++i) {
    stratum[i] = next(9);
    psu[i] = stratum[i] >= 7 ? 0 : next(5);
    w[i] = 1.0 + next(100) / 10.0;
    y[i] = next(1000) / 7.0;
    dom[i] = next(7);  // 6 means: no domain
    dom_values[i] = dom[i] == 6 ? Value(kelp::null) : Value(std::int64_t{dom[i]});
  }
  auto ints = [](const std::vector<int>& v) {
    return Column(std::vector<std::int64_t>(v.begin(), v.end()));
  };
  const Sample s(Table({{"h", ints(stratum)},
                        {"p", ints(psu)},
                        {"w", Column(w)},
                        {"y", Column(y)},
                        {"d", Column::from_values(dom_values)}}),
                 {.weight = "w", .strata = "h", .psu = "p"});
  const Estimate t = s.estimation().total({.y = "y", .by = "d"});
  ASSERT_EQ(t.est().size(), 6u);
  for (int level = 0; level < 6; ++level) {
    SCOPED_TRACE(level);
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) total += dom[i] == level ? w[i] * y[i] : 0.0;
    EXPECT_NEAR(t.est()[level], total, 1e-9 * total);
    const double se = naive_domain_total_se(stratum, psu, w, y, dom, level);
    EXPECT_NEAR(t.se()[level], se, 1e-9 * se);
  }
}

TEST(Estimate, ToTableHasByLevelEstSe) {
  const Sample s(stratified_table(), kStratified);
  const Table t = s.estimation().mean({.y = "y", .by = "psu"}).to_table();
  EXPECT_THAT(t.column_names(), ElementsAre("by_level", "est", "se"));
  EXPECT_EQ(t.column("by_level").type(), DataType::Int64);
  EXPECT_THAT(t.column("by_level").int_values(), ElementsAre(1, 2));
  EXPECT_EQ(t.column("est").type(), DataType::Float64);
}

TEST(SampleErrors, BadDesignOrDataIsRejectedWithTheColumnNamed) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Table t({{"w", Column({1.0, -1.0, nan, kelp::null})},
                 {"s", Column({1, kelp::null, 2, 2})},
                 {"y", Column({1.0, kelp::null, 2.0, 3.0})},
                 {"p01", Column({0, 1, 2, 1})},
                 {"x", Column({0.0, 0.0, 1.0, 1.0})},
                 {"g", Column({"a", "a", "b", "b"})},
                 {"text", Column({"u", "v", "w", "x"})}});
  const Sample plain(t);
  const Sample zero_w(t.with_column("w", Column({0.0, 0.0, 1.0, 1.0})), {.weight = "w"});
  const struct {
    const char* label;
    std::function<void()> call;
    const char* message;
  } cases[] = {
      {"weights", [&] { Sample(t, {.weight = "w"}); },
       "weight column 'w' has 3 rows with a missing, negative or non-finite weight"},
      {"strata", [&] { Sample(t, {.strata = "s"}); }, "strata column 's' has 1 missing value"},
      {"text weights", [&] { Sample(t, {.weight = "text"}); },
       "weight column 'text' must be numeric; it holds texts"},
      {"missing y", [&] { plain.estimation().mean({.y = "y", .by = "g"}); },
       "column 'y' has 1 missing value (null, NaN or infinite)"},
      {"text y", [&] { plain.estimation().total({.y = "text", .by = "g"}); },
       "analysis column 'text' must be numeric; it holds texts"},
      {"proportion", [&] { plain.estimation().proportion({.y = "p01", .by = "g"}); },
       "a proportion needs a 0/1 variable; column 'p01' has 1 value other than 0 and 1"},
      {"zero ratio denominator",
       [&] { plain.estimation().ratio({.y = "p01", .x = "x", .by = "g"}); },
       "the denominator 'x' has a zero weighted total in domain 'a' of column 'g'"},
      {"zero weight domain", [&] { zero_w.estimation().total({.y = "x", .by = "g"}); },
       "domain 'a' of column 'g' has zero total weight"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(error_of(c.call), c.message);
  }
  EXPECT_THROW(Sample(t, {.psu = "cluster"}), ColumnNotFoundError);
  EXPECT_THROW(plain.estimation().mean({.y = "x", .by = "district"}), ColumnNotFoundError);
}

TEST(PopParam, ValueTextsRoundTrip) {
  const struct {
    PopParam p;
    const char* text;
  } cases[] = {{PopParam::MEAN, "Mean"},
               {PopParam::TOTAL, "Total"},
               {PopParam::PROP, "Proportion"},
               {PopParam::RATIO, "Ratio"},
               {PopParam::MEDIAN, "Median"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(to_string(c.p), c.text);
    EXPECT_EQ(pop_param_from_string(c.text), c.p);
  }
  EXPECT_EQ(pop_param_from_string("mean"), std::nullopt);
}

}  // namespace
}  // namespace kelp
