#include "kelp_sae/kernels/simulations/indicators.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace kelp_sae::kernels {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const std::vector<IndicatorEntry> kAll = {Indicator::MEAN,        Indicator::POVERTY_HEADCOUNT,
                                          Indicator::POVERTY_GAP, Indicator::POVERTY_SEVERITY,
                                          Indicator::GINI,        Indicator::QSR};

std::vector<double> evaluate(std::vector<double> values, double z) {
  const IndicatorSet set(kAll, z);
  std::vector<double> out(set.size());
  set.evaluate(values, out);
  return out;
}

TEST(Indicators, WorkedExamples) {
  struct Case {
    const char* what;
    std::vector<double> values;
    double z;
    std::vector<double> expected;  // mean, FGT0, FGT1, FGT2, Gini, QSR
  };
  const Case cases[] = {
      // W = 30, T = 10: 2 * 30 / 40 - 5 / 4; N = 4 has no bottom quintile,
      // so the QSR is undefined.
      {"1,2,3,4", {4, 1, 3, 2}, 2.0, {2.5, 0.25, 0.125, 0.0625, 0.25, kNaN}},
      // The Gini does not depend on the unit, however small.
      {"1,2,3,4 e-12",
       {4e-12, 1e-12, 3e-12, 2e-12},
       2e-12,
       {2.5e-12, 0.25, 0.125, 0.0625, 0.25, kNaN}},
      // N = 7: bottom rank 1, top ranks 6 and 7.
      {"N = 7", {7, 1, 6, 2, 5, 3, 4}, 1.0, {4.0, 0.0, 0.0, 0.0, 2.0 / 7.0, 13.0}},
      // N = 10: bottom ranks 1-2, top ranks 9-10.
      {"N = 10", {10, 9, 8, 7, 6, 5, 4, 3, 2, 1}, 1.0, {5.5, 0.0, 0.0, 0.0, 0.3, 19.0 / 3.0}},
      // -z: gap 2, severity 4; a value at z is not poor and has no gap.
      // A total of 0: Gini undefined.
      {"-z and z", {-0.6, 0.6}, 0.6, {0.0, 0.5, 1.0, 2.0, kNaN, kNaN}},
      {"no units", {}, 0.6, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
      {"all equal below z", {0.3, 0.3, 0.3}, 0.6, {0.3, 1.0, 0.5, 0.25, 0.0, kNaN}},
      // A negative total: Gini and QSR undefined, never 0.
      {"negative", {-3, 1, -2, -1, -5}, 1.0, {-2.0, 0.8, 3.0, 13.0, kNaN, kNaN}},
      // Positive total, negative bottom quintile: W = 53, T = 13.
      {"negative bottom", {5, -1, 3, 2, 4}, 1.0, {2.6, 0.2, 0.4, 0.8, 106.0 / 65.0 - 1.2, kNaN}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<double> got = evaluate(c.values, c.z);
    for (std::size_t k = 0; k < got.size(); ++k) {
      if (std::isnan(c.expected[k])) {
        EXPECT_TRUE(std::isnan(got[k])) << k;
      } else {
        EXPECT_NEAR(got[k], c.expected[k], 1e-12) << k;
      }
    }
  }
}

TEST(Indicators, LargeAreasUseTheVectorSort) {
  // Values 1..N in a scrambled order: Gini = (N - 1) / (3N), QSR from the
  // sums of ranks 1..200 and 801..1000.
  constexpr int n = 1000;
  std::vector<double> values(n);
  for (int i = 0; i < n; ++i) values[static_cast<std::size_t>(i)] = (i * 617) % n + 1;
  const std::vector<double> got = evaluate(values, 100.0);
  EXPECT_NEAR(got[4], (n - 1.0) / (3.0 * n), 1e-12);
  EXPECT_NEAR(got[5], 180100.0 / 20100.0, 1e-12);
  EXPECT_NEAR(got[1], 99.0 / n, 1e-15);
}

TEST(SortValues, EqualsStdSortAtEverySize) {
  // Sizes around the vectorised sort's base case (up to 128 doubles, a
  // sorting network) and the fallback's switch at 256; incomes, signed values
  // with both zeros and ties, one far outlier, identical values and
  // infinities.
  std::mt19937_64 gen(5);
  std::lognormal_distribution<double> income(8.5, 0.8);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (const std::size_t n : {0, 1, 2, 3, 9, 64, 127, 128, 129, 255, 256, 1000, 5000}) {
    for (int kind = 0; kind < 5; ++kind) {
      SCOPED_TRACE(std::to_string(n) + " values of kind " + std::to_string(kind));
      std::vector<double> v(n);
      for (std::size_t i = 0; i < n; ++i) {
        switch (kind) {
          case 0:
            v[i] = income(gen);
            break;
          case 1:
            v[i] = i % 5 == 0 ? (i % 2 == 0 ? 0.0 : -0.0) : std::round(4.0 * normal(gen));
            break;
          case 2:
            v[i] = i == n / 2 ? 1e300 : income(gen);
            break;
          case 3:
            v[i] = 7.5;
            break;
          default:
            v[i] = i % 7 == 0 ? (i % 2 == 0 ? 1.0 : -1.0) * HUGE_VAL : normal(gen);
        }
      }
      std::vector<double> expected = v;
      std::sort(expected.begin(), expected.end());
      sort_values(v);
      EXPECT_EQ(v, expected);
    }
  }
}

TEST(Indicators, NonFiniteValuesGiveInfiniteRankIndicators) {
  // A failed simulation (+inf), unlike an undefined indicator (NaN).
  const std::vector<double> got = evaluate({1.0, std::nan(""), 3.0, 0.5}, 2.0);
  EXPECT_EQ(got[4], std::numeric_limits<double>::infinity());
  EXPECT_EQ(got[5], std::numeric_limits<double>::infinity());
  EXPECT_EQ(got[1], 0.5);  // the comparison y < z is simply false for NaN
}

const std::vector<IndicatorEntry> kQuantiles = {Indicator::QUANTILE_10, Indicator::QUANTILE_25,
                                                Indicator::MEDIAN, Indicator::QUANTILE_75,
                                                Indicator::QUANTILE_90};

std::vector<double> evaluate_weighted(const std::vector<IndicatorEntry>& entries,
                                      const std::vector<double>& values,
                                      const std::vector<double>& weights, double z) {
  const IndicatorSet set(entries, z);
  std::vector<double> out(set.size());
  set.evaluate_weighted(values, weights, out);
  return out;
}

TEST(Indicators, QuantilesInterpolateOrWalkTheCumulativeWeight) {
  // Type 7 on 1..5: h = 4 p, so q10 = 1.4, q90 = 4.6.
  const std::vector<double> unweighted = [] {
    const IndicatorSet set(kQuantiles, 1.0);
    std::vector<double> values = {5, 3, 1, 4, 2}, out(set.size());
    set.evaluate(values, out);
    return out;
  }();
  const std::vector<double> type7 = {1.4, 2.0, 3.0, 4.0, 4.6};
  for (std::size_t k = 0; k < type7.size(); ++k) EXPECT_NEAR(unweighted[k], type7[k], 1e-12) << k;

  struct Case {
    const char* what;
    std::vector<double> values, weights, expected;  // q10, q25, median, q75, q90
  };
  const Case cases[] = {
      // Shares 0.1, 0.2, ..., 1.0: each p is reached exactly at a record.
      {"ten equal weights",
       {10, 9, 8, 7, 6, 5, 4, 3, 2, 1},
       std::vector<double>(10, 2.5),
       {1, 3, 5, 8, 9}},
      // Shares 0.1, 0.3, 0.6, 1.0; the record of weight 0 never counts.
      {"unequal weights", {4, 1, 99, 2, 3}, {0.4, 0.1, 0.0, 0.2, 0.3}, {1, 2, 3, 4, 4}},
      {"single value", {7}, {3}, {7, 7, 7, 7, 7}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(evaluate_weighted(kQuantiles, c.values, c.weights, 1.0), c.expected);
  }
  EXPECT_TRUE(std::isnan(evaluate_weighted({Indicator::MEDIAN}, {}, {}, 1.0)[0]));
}

TEST(Indicators, IntegerWeightsEqualTheRepeatedPopulation) {
  // Each indicator with integer weights equals the one of the population in
  // which every record is repeated w times: the unweighted indicator for all
  // but the quantiles, whose weighted definition (cumulative share) differs
  // from type 7 and is compared with unit weights on the repeated values.
  struct Case {
    const char* what;
    std::vector<double> values, weights;
    double z;
  };
  std::vector<Case> cases = {
      {"incomes", {3.2, 0.4, 7.5, 1.1, 2.0, 0.9}, {2, 1, 3, 4, 1, 2}, 1.5},
      {"ties and a zero weight", {1, 2, 2, 5, 1, 8, 3}, {3, 0, 2, 1, 4, 2, 5}, 2.0},
      // W = 27: the cuts trunc(5.4) and trunc(21.6) fall inside records.
      {"cuts inside records", {10, 1, 4, 6, 2}, {6, 4, 7, 3, 7}, 3.0},
      {"one record", {4.0}, {5}, 5.0},
  };
  // 300 records, enough for the vectorised sort, with negative values and ties.
  Case large{"large area", {}, {}, 20.0};
  for (int i = 0; i < 300; ++i) {
    large.values.push_back(double((i * 37) % 101) - 0.5);
    large.weights.push_back(double(i % 4));
  }
  cases.push_back(large);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<double> repeated;
    for (std::size_t i = 0; i < c.values.size(); ++i) {
      repeated.insert(repeated.end(), static_cast<std::size_t>(c.weights[i]), c.values[i]);
    }
    const std::vector<double> weighted = evaluate_weighted(kAll, c.values, c.weights, c.z);
    const std::vector<double> expected = evaluate(repeated, c.z);
    for (std::size_t k = 0; k < kAll.size(); ++k) {
      EXPECT_NEAR(weighted[k], expected[k], 1e-12 * std::max(1.0, std::abs(expected[k]))) << k;
    }
    EXPECT_EQ(
        evaluate_weighted(kQuantiles, c.values, c.weights, c.z),
        evaluate_weighted(kQuantiles, repeated, std::vector<double>(repeated.size(), 1.0), c.z));
  }
}

TEST(Indicators, NonIntegerWeightsUseTheSameFormulas) {
  // Gini: sum_ij w_i w_j |y_i - y_j| = 2 * 0.5 * 1.5 * 2 = 3 over 2 W T = 20.
  EXPECT_NEAR(evaluate_weighted({Indicator::GINI}, {3, 1}, {1.5, 0.5}, 1.0)[0], 0.15, 1e-15);
  // QSR: W = 10, cuts 2 and 8; the first record gives 2 of its 7.5 units to
  // the bottom, the second 2 of its 2.5 to the top: 20 / 2.
  EXPECT_NEAR(evaluate_weighted({Indicator::QSR}, {1, 10}, {7.5, 2.5}, 1.0)[0], 10.0, 1e-15);
  // Headcount and gap: 1.5 of 2 units poor, gaps 1 - 1/2 and 0.
  EXPECT_EQ(evaluate_weighted({Indicator::POVERTY_HEADCOUNT, Indicator::POVERTY_GAP}, {1, 3},
                              {1.5, 0.5}, 2.0),
            (std::vector<double>{0.75, 0.375}));
  // Without a positive total or bottom quintile nothing is estimated; a NaN
  // of weight 0 counts for nothing.
  EXPECT_TRUE(std::isnan(evaluate_weighted({Indicator::GINI}, {-1, 0.5}, {1, 1}, 1.0)[0]));
  EXPECT_TRUE(std::isnan(evaluate_weighted({Indicator::QSR}, {1, 2}, {2, 2}, 1.0)[0]));
  EXPECT_EQ(
      evaluate_weighted({Indicator::MEAN, Indicator::MEDIAN}, {2, std::nan(""), 4}, {1, 0, 1}, 1.0),
      (std::vector<double>{3, 2}));
  // A NaN that counts is a failed simulation (+inf), as without weights.
  EXPECT_EQ(evaluate_weighted({Indicator::MEDIAN}, {1, std::nan("")}, {1, 1}, 1)[0],
            std::numeric_limits<double>::infinity());
}

TEST(Indicators, CallerFunctionsSeeValuesInUnitOrder) {
  std::vector<double> seen;
  const IndicatorSet set(
      {Indicator::GINI, IndicatorFunction([&](std::span<const double> y, double z) {
         seen.assign(y.begin(), y.end());
         return z * y.front();
       })},
      2.0);
  std::vector<double> values = {3, 1, 2};
  std::vector<double> out(2);
  set.evaluate(values, out);
  EXPECT_EQ(seen, (std::vector<double>{3, 1, 2}));
  EXPECT_EQ(out[1], 6.0);
}

TEST(Indicators, RejectsWhatHasNoMeaning) {
  EXPECT_THROW(IndicatorSet({}, 1.0), std::invalid_argument);
  EXPECT_THROW(IndicatorSet({IndicatorFunction()}, 1.0), std::invalid_argument);
  for (const double z : {0.0, -1.0, std::nan("")}) {
    SCOPED_TRACE(z);
    EXPECT_THROW(IndicatorSet({Indicator::POVERTY_GAP}, z), std::invalid_argument);
  }
  // The mean and inequality measures do not read the poverty line.
  EXPECT_NO_THROW(IndicatorSet({Indicator::MEAN, Indicator::GINI}, 0.0));
}

}  // namespace
}  // namespace kelp_sae::kernels
