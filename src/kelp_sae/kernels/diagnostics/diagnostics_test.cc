#include "kelp_sae/kernels/diagnostics/diagnostics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "kelp_sae/kernels/transformations/boxcox.h"
#include "kelp_sae/random/keys.h"

namespace kelp_sae::kernels {
namespace {

// The samples of testdata/shapiro_reference.R.
Eigen::VectorXd sample(const std::string& name, int n) {
  Eigen::VectorXd x(n);
  for (int k = 0; k < n; ++k) {
    const double i = k + 1;
    x(k) = name == "wave" ? std::sin(i) + 0.5 * std::pow(std::sin(2.7 * i), 2)
                          : std::exp(1.2 * std::sin(i) + std::cos(0.37 * i));
  }
  return x;
}

// R 4.2.2 shapiro.test and hand-computed moments, from
// testdata/shapiro_reference.out.
struct Reference {
  const char* name;
  int n;
  double w, p, skewness, kurtosis;
};
constexpr Reference kReference[] = {
    {"wave", 5, 0.918533854666898, 0.520525879202428, -0.277473497110676, 1.42570524514699},
    {"skewed", 5, 0.82877741147573, 0.136209801202768, 0.323426598000055, 1.24948285178569},
    {"wave", 9, 0.896360628330629, 0.231653573726053, -0.540872603059189, 1.8416926003337},
    {"skewed", 11, 0.663036026882678, 0.000157620485901241, 1.51608472350669, 3.54137510722592},
    {"wave", 12, 0.907026688571225, 0.195394047367663, 0.0398890620071201, 1.47704941724455},
    {"skewed", 50, 0.75817534545296, 1.08055558487935e-07, 1.77439437837343, 5.5140432831412},
    {"wave", 400, 0.942376337650822, 2.40195077178996e-11, -0.00534154072472743, 1.67159145694126},
    {"skewed", 5000, 0.762359311054426, 6.85328150481554e-65, 1.77621065178331, 5.54564968573844},
};

TEST(ShapiroWilk, AgreesWithR) {
  for (const Reference& r : kReference) {
    SCOPED_TRACE(std::string(r.name) + " n=" + std::to_string(r.n));
    const Eigen::VectorXd x = sample(r.name, r.n);
    const ShapiroWilk sw = shapiro_wilk(x);
    EXPECT_NEAR(sw.w, r.w, 1e-12);
    EXPECT_NEAR(sw.p_value, r.p, 1e-9 * r.p);
    EXPECT_NEAR(skewness(x), r.skewness, 1e-12);
    EXPECT_NEAR(kurtosis(x), r.kurtosis, 1e-12);
    // The order of the values does not matter.
    const ShapiroWilk reversed = shapiro_wilk(x.reverse());
    EXPECT_NEAR(reversed.w, sw.w, 1e-14);
  }
  // n = 3 has an exact p-value; the data (1, 2, 4).
  const ShapiroWilk three = shapiro_wilk(Eigen::Vector3d(1, 2, 4));
  EXPECT_NEAR(three.w, 0.964285714285714, 1e-12);
  EXPECT_NEAR(three.p_value, 0.636886845028963, 1e-12);
}

TEST(ShapiroWilk, StatisticsSurviveShiftAndScale) {
  const Eigen::VectorXd x = sample("skewed", 50);
  const ShapiroWilk base = shapiro_wilk(x);
  const Eigen::VectorXd moved = (x.array() * 1e3 + 1e6).matrix();
  EXPECT_NEAR(shapiro_wilk(moved).w, base.w, 1e-9);
  EXPECT_NEAR(skewness(moved), skewness(x), 1e-7);
  EXPECT_NEAR(kurtosis(moved), kurtosis(x), 1e-7);
}

TEST(ShapiroWilk, RejectsWhatItCannotTest) {
  EXPECT_THROW(shapiro_wilk(Eigen::Vector2d(1, 2)), std::invalid_argument);
  EXPECT_THROW(shapiro_wilk(Eigen::Vector3d(2, 2, 2)), std::invalid_argument);
  EXPECT_THROW(shapiro_wilk(sample("wave", 5001)), std::invalid_argument);
}

TEST(SummarizeDistribution, SubsamplesLargeInputsDeterministically) {
  // Up to 5000 values: the test on all of them.
  const Eigen::VectorXd all = sample("skewed", 5000);
  const DistributionSummary full = summarize_distribution(all);
  EXPECT_FALSE(full.subsampled);
  EXPECT_EQ(full.n, 5000);
  EXPECT_EQ(full.shapiro_n, 5000);
  EXPECT_NEAR(full.shapiro_w, 0.762359311054426, 1e-12);

  // Beyond: 5000 distinct values, the same on every call; moments of all.
  const Eigen::VectorXd many = sample("wave", 12000);
  const DistributionSummary s = summarize_distribution(many);
  EXPECT_TRUE(s.subsampled);
  EXPECT_EQ(s.n, 12000);
  EXPECT_EQ(s.shapiro_n, 5000);
  EXPECT_EQ(s.skewness, skewness(many));
  const DistributionSummary again = summarize_distribution(many);
  EXPECT_EQ(again.shapiro_w, s.shapiro_w);
  // A subsample of the same shape: W close to that of the first 5000.
  EXPECT_NEAR(s.shapiro_w, shapiro_wilk(many.head(5000)).w, 0.01);

  // Too few values or constant values: moments and test are NaN, no error.
  const DistributionSummary two = summarize_distribution(Eigen::Vector2d(1, 2));
  EXPECT_TRUE(std::isnan(two.shapiro_w));
  EXPECT_TRUE(std::isnan(summarize_distribution(Eigen::Vector3d(4, 4, 4)).skewness));
}

TEST(RSquared, MatchesTheHandComputation) {
  // testdata/shapiro_reference.R: fixed part (1, 2, 4, 7), var_f = 7.
  const Eigen::Vector4d f(1, 2, 4, 7);
  const MixedRSquared r2 = nakagawa_r_squared(f, 2.0, 5.0);
  EXPECT_NEAR(r2.marginal, 0.5, 1e-15);
  EXPECT_NEAR(r2.conditional, 0.642857142857143, 1e-15);
  EXPECT_NEAR(fay_herriot_r_squared(f, 2.0), 0.777777777777778, 1e-15);
  // A shifted fixed part explains as much.
  EXPECT_NEAR(fay_herriot_r_squared((f.array() + 1e6).matrix(), 2.0), 0.777777777777778, 1e-9);
  EXPECT_EQ(fay_herriot_r_squared(f, 0.0), 1.0);
}

TEST(BoxCoxProfileCurve, TracesTheObjectiveAndPeaksAtTheEstimate) {
  // 30 areas of 20 units whose log follows a nested-error model.
  constexpr int kAreas = 30, kUnits = 20, n = kAreas * kUnits;
  const std::vector<double> z = random::normal(random::key_from_seed(3), 2 * n + kAreas);
  Eigen::MatrixXd X(n, 2);
  Eigen::VectorXd y(n);
  Eigen::VectorXi area(n);
  for (int i = 0; i < n; ++i) {
    const double x = z[static_cast<std::size_t>(n + i)];
    X(i, 0) = 1.0;
    X(i, 1) = x;
    area(i) = i / kUnits;
    y(i) = std::exp(2.0 + 0.5 * x + 0.3 * z[static_cast<std::size_t>(2 * n + i / kUnits)] +
                    0.4 * z[static_cast<std::size_t>(i)]);
  }
  const BoxCoxLambdaOptions options{.lower = -1.0, .upper = 1.0};
  const ProfileCurve curve = boxcox_profile_curve(X, y, area, kAreas, options, 21);
  ASSERT_EQ(curve.lambda.size(), 21);
  EXPECT_EQ(curve.lambda(0), -1.0);
  EXPECT_EQ(curve.lambda(20), 1.0);
  EXPECT_NEAR(curve.loglik(7),
              -boxcox_negative_profile_loglik(curve.lambda(7), X, y, area, kAreas, 1e-4, 100),
              1e-12);
  Eigen::Index best = 0;
  curve.loglik.maxCoeff(&best);
  const double lambda = estimate_boxcox_lambda(X, y, area, kAreas, options);
  EXPECT_NEAR(curve.lambda(best), lambda, 0.1 + 1e-9);
  EXPECT_THROW(boxcox_profile_curve(X, y, area, kAreas, options, 1), std::invalid_argument);
}

}  // namespace
}  // namespace kelp_sae::kernels
