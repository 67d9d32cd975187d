#include "kelp_sae/kernels/diagnostics/diagnostics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelp_sae/random/keys.h"

namespace kelp_sae::kernels {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// The key of the Shapiro-Wilk subsample: fixed, so a result never depends on
// anything but the values.
constexpr std::uint64_t kSubsampleSeed = 5000;

// Central moments m2, m3, m4 (divisor n) by two passes.
struct Moments {
  double m2 = 0.0, m3 = 0.0, m4 = 0.0;
};

Moments central_moments(const Eigen::Ref<const Eigen::VectorXd>& x) {
  const auto n = static_cast<double>(x.size());
  const double mean = x.mean();
  Moments m;
  for (const double v : x) {
    const double d = v - mean;
    const double d2 = d * d;
    m.m2 += d2;
    m.m3 += d2 * d;
    m.m4 += d2 * d2;
  }
  m.m2 /= n;
  m.m3 /= n;
  m.m4 /= n;
  return m;
}

// c[0] + c[1] x + ... + c[k-1] x^(k-1).
double poly(const double* c, int k, double x) {
  double r = c[k - 1];
  for (int i = k - 2; i >= 0; --i) r = r * x + c[i];
  return r;
}

double normal_upper_tail(double z, double mean, double sd) {
  return 0.5 * std::erfc((z - mean) / (sd * std::sqrt(2.0)));
}

double sample_variance(const Eigen::Ref<const Eigen::VectorXd>& v) {
  if (v.size() < 2) return 0.0;
  const double mean = v.mean();
  return (v.array() - mean).square().sum() / static_cast<double>(v.size() - 1);
}

}  // namespace

double skewness(const Eigen::Ref<const Eigen::VectorXd>& x) {
  if (x.size() < 2) return kNaN;
  const Moments m = central_moments(x);
  if (!(m.m2 > 0.0)) return kNaN;
  return m.m3 / std::pow(m.m2, 1.5);
}

double kurtosis(const Eigen::Ref<const Eigen::VectorXd>& x) {
  if (x.size() < 2) return kNaN;
  const Moments m = central_moments(x);
  if (!(m.m2 > 0.0)) return kNaN;
  return m.m4 / (m.m2 * m.m2);
}

ShapiroWilk shapiro_wilk(const Eigen::Ref<const Eigen::VectorXd>& values) {
  const Eigen::Index n = values.size();
  if (n < 3 || n > kShapiroWilkMaxN) {
    throw std::invalid_argument("shapiro_wilk: needs 3 to 5000 values, got " + std::to_string(n));
  }
  std::vector<double> x(values.data(), values.data() + n);
  for (const double v : x) {
    if (!std::isfinite(v)) throw std::invalid_argument("shapiro_wilk: values must be finite");
  }
  std::sort(x.begin(), x.end());
  const double range = x.back() - x.front();
  if (!(range > 1e-19 * std::max(1.0, std::fabs(x.front())))) {
    throw std::invalid_argument("shapiro_wilk: all values are equal");
  }

  // Coefficients a_1 .. a_{n/2} of the upper half (the lower half is their
  // negative): Royston's polynomial approximations for the two largest,
  // normalised normal scores for the rest.
  static constexpr double c1[6] = {0.0, 0.221157, -0.147981, -2.071190, 4.434685, -2.706056};
  static constexpr double c2[6] = {0.0, 0.042981, -0.293762, -1.752461, 5.682633, -3.582633};
  static constexpr double c3[4] = {0.544, -0.39978, 0.025054, -6.714e-4};
  static constexpr double c4[4] = {1.3822, -0.77857, 0.062767, -0.0020322};
  static constexpr double c5[4] = {-1.5861, -0.31082, -0.083751, 0.0038915};
  static constexpr double c6[3] = {-0.4803, -0.082676, 0.0030302};
  static constexpr double g[2] = {-2.273, 0.459};

  const auto an = static_cast<double>(n);
  const Eigen::Index half = n / 2;
  std::vector<double> a(static_cast<std::size_t>(half));
  if (n == 3) {
    a[0] = std::sqrt(0.5);
  } else {
    std::vector<double> m(static_cast<std::size_t>(half));
    double summ2 = 0.0;
    for (Eigen::Index i = 0; i < half; ++i) {
      // Negative scores of the lower half; the coefficients take their sign.
      m[static_cast<std::size_t>(i)] =
          random::inverse_normal_cdf((static_cast<double>(i + 1) - 0.375) / (an + 0.25));
      summ2 += m[static_cast<std::size_t>(i)] * m[static_cast<std::size_t>(i)];
    }
    summ2 *= 2.0;
    const double ssumm2 = std::sqrt(summ2);
    const double rsn = 1.0 / std::sqrt(an);
    const double a1 = poly(c1, 6, rsn) - m[0] / ssumm2;
    std::size_t first_scaled = 1;
    double fac = 0.0;
    if (n > 5) {
      first_scaled = 2;
      const double a2 = -m[1] / ssumm2 + poly(c2, 6, rsn);
      fac = std::sqrt((summ2 - 2.0 * m[0] * m[0] - 2.0 * m[1] * m[1]) /
                      (1.0 - 2.0 * a1 * a1 - 2.0 * a2 * a2));
      a[1] = a2;
    } else {
      fac = std::sqrt((summ2 - 2.0 * m[0] * m[0]) / (1.0 - 2.0 * a1 * a1));
    }
    a[0] = a1;
    for (std::size_t i = first_scaled; i < a.size(); ++i) a[i] = -m[i] / fac;
  }

  // W as the squared correlation of the ordered values with the coefficients;
  // 1 - W is formed directly so W near 1 keeps its digits.
  const auto coef = [&](Eigen::Index i) {
    const Eigen::Index j = n - 1 - i;
    if (i == j) return 0.0;
    return i < j ? -a[static_cast<std::size_t>(i)] : a[static_cast<std::size_t>(j)];
  };
  double sa = 0.0, sx = 0.0;
  for (Eigen::Index i = 0; i < n; ++i) {
    sa += coef(i);
    sx += x[static_cast<std::size_t>(i)] / range;
  }
  sa /= an;
  sx /= an;
  double ssa = 0.0, ssx = 0.0, sax = 0.0;
  for (Eigen::Index i = 0; i < n; ++i) {
    const double asa = coef(i) - sa;
    const double xsx = x[static_cast<std::size_t>(i)] / range - sx;
    ssa += asa * asa;
    ssx += xsx * xsx;
    sax += asa * xsx;
  }
  const double ssassx = std::sqrt(ssa * ssx);
  const double w1 = (ssassx - sax) * (ssassx + sax) / (ssa * ssx);
  ShapiroWilk out{.w = 1.0 - w1, .p_value = 0.0};

  if (n == 3) {
    constexpr double pi6 = 1.90985931710274;   // 6 / pi
    constexpr double stqr = 1.04719755119660;  // asin(sqrt(3/4))
    out.p_value = std::max(0.0, pi6 * (std::asin(std::sqrt(out.w)) - stqr));
    return out;
  }
  double y = std::log(w1);
  double mean = 0.0, sd = 0.0;
  if (n <= 11) {
    const double gamma = poly(g, 2, an);
    if (y >= gamma) {
      out.p_value = 1e-99;
      return out;
    }
    y = -std::log(gamma - y);
    mean = poly(c3, 4, an);
    sd = std::exp(poly(c4, 4, an));
  } else {
    const double log_n = std::log(an);
    mean = poly(c5, 4, log_n);
    sd = std::exp(poly(c6, 3, log_n));
  }
  out.p_value = normal_upper_tail(y, mean, sd);
  return out;
}

DistributionSummary summarize_distribution(const Eigen::Ref<const Eigen::VectorXd>& x) {
  if (!x.allFinite()) {
    throw std::invalid_argument("summarize_distribution: values must be finite");
  }
  DistributionSummary s;
  s.n = x.size();
  s.skewness = skewness(x);
  s.kurtosis = kurtosis(x);
  s.shapiro_w = kNaN;
  s.shapiro_p = kNaN;

  Eigen::VectorXd tested = x;
  if (x.size() > kShapiroWilkMaxN) {
    // The first kShapiroWilkMaxN positions of a Fisher-Yates shuffle driven by
    // one fixed key.
    std::vector<Eigen::Index> index(static_cast<std::size_t>(x.size()));
    std::iota(index.begin(), index.end(), Eigen::Index{0});
    std::vector<double> u(static_cast<std::size_t>(kShapiroWilkMaxN));
    random::uniform(random::key_from_seed(kSubsampleSeed), u);
    tested.resize(kShapiroWilkMaxN);
    for (Eigen::Index i = 0; i < kShapiroWilkMaxN; ++i) {
      const auto remaining = static_cast<double>(x.size() - i);
      const Eigen::Index j =
          i + std::min(static_cast<Eigen::Index>(u[static_cast<std::size_t>(i)] * remaining),
                       x.size() - i - 1);
      std::swap(index[static_cast<std::size_t>(i)], index[static_cast<std::size_t>(j)]);
      tested(i) = x(index[static_cast<std::size_t>(i)]);
    }
    s.subsampled = true;
  }
  s.shapiro_n = tested.size();
  if (tested.size() >= 3 && tested.maxCoeff() > tested.minCoeff()) {
    const ShapiroWilk sw = shapiro_wilk(tested);
    s.shapiro_w = sw.w;
    s.shapiro_p = sw.p_value;
  }
  return s;
}

MixedRSquared nakagawa_r_squared(const Eigen::Ref<const Eigen::VectorXd>& fixed_part,
                                 double sigma_u2, double sigma_e2) {
  const double var_f = sample_variance(fixed_part);
  const double total = var_f + sigma_u2 + sigma_e2;
  if (!(total > 0.0)) return {kNaN, kNaN};
  return {var_f / total, (var_f + sigma_u2) / total};
}

double fay_herriot_r_squared(const Eigen::Ref<const Eigen::VectorXd>& fixed_part, double sigma_u2) {
  const double var_f = sample_variance(fixed_part);
  const double total = var_f + sigma_u2;
  if (!(total > 0.0)) return kNaN;
  return var_f / total;
}

ProfileCurve boxcox_profile_curve(const Eigen::Ref<const Eigen::MatrixXd>& X,
                                  const Eigen::Ref<const Eigen::VectorXd>& y_raw,
                                  const Eigen::Ref<const Eigen::VectorXi>& area_indices,
                                  Eigen::Index n_areas, const BoxCoxLambdaOptions& options,
                                  int n_points) {
  if (n_points < 2) {
    throw std::invalid_argument("boxcox_profile_curve: n_points must be at least 2, got " +
                                std::to_string(n_points));
  }
  if (!(std::isfinite(options.lower) && std::isfinite(options.upper)) ||
      options.lower > options.upper) {
    throw std::invalid_argument(
        "boxcox_profile_curve: the interval must be finite with lower <= upper");
  }
  if (X.rows() != y_raw.size() || area_indices.size() != y_raw.size()) {
    throw std::invalid_argument("boxcox_profile_curve: X, y_raw and area_indices must agree");
  }
  if (area_indices.size() > 0 &&
      (area_indices.minCoeff() < 0 || area_indices.maxCoeff() >= n_areas)) {
    throw std::invalid_argument("boxcox_profile_curve: an area index is outside 0..n_areas-1");
  }
  ProfileCurve curve{Eigen::VectorXd::LinSpaced(n_points, options.lower, options.upper),
                     Eigen::VectorXd(n_points)};
  for (int k = 0; k < n_points; ++k) {
    const double f = boxcox_negative_profile_loglik(curve.lambda(k), X, y_raw, area_indices,
                                                    n_areas, options.tol, options.max_iter);
    // The objective's marker of a failed fit is not a likelihood.
    curve.loglik(k) = f >= 1e12 ? kNaN : -f;
  }
  return curve;
}

}  // namespace kelp_sae::kernels
