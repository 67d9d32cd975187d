#include "kelp_sae/kernels/optimization/bfgs.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kelp_sae::kernels {
namespace {

// Sufficient-decrease and curvature constants of the strong Wolfe conditions
// (Nocedal & Wright, Numerical Optimization, 2nd ed., section 3.1).
constexpr double kC1 = 1e-4;
constexpr double kC2 = 0.9;
constexpr int kMaxBracketSteps = 40;
constexpr int kMaxZoomSteps = 40;

// One trial point of the line search phi(alpha) = f(x + alpha p).
struct Trial {
  double alpha = 0.0;
  double phi = 0.0;
  double dphi = 0.0;
};

// Evaluates the objective along the search direction and keeps the point and
// gradient of the latest evaluation in the caller's buffers.
class LineFunction {
 public:
  LineFunction(const ObjectiveWithGradient& objective, const Eigen::VectorXd& x,
               const Eigen::VectorXd& p, Eigen::VectorXd& x_trial, Eigen::VectorXd& g_trial,
               int& n_evaluations)
      : objective_(objective),
        x_(x),
        p_(p),
        x_trial_(x_trial),
        g_trial_(g_trial),
        n_evaluations_(n_evaluations) {}

  Trial operator()(double alpha) {
    x_trial_ = x_;
    x_trial_.noalias() += alpha * p_;
    const double phi = objective_(x_trial_, g_trial_);
    ++n_evaluations_;
    return {alpha, phi, g_trial_.dot(p_)};
  }

 private:
  const ObjectiveWithGradient& objective_;
  const Eigen::VectorXd& x_;
  const Eigen::VectorXd& p_;
  Eigen::VectorXd& x_trial_;
  Eigen::VectorXd& g_trial_;
  int& n_evaluations_;
};

// Relative size of an increase of the objective that is treated as rounding
// noise by the approximate sufficient-decrease test below.
constexpr double kNoise = 1e-12;

bool finite(const Trial& t) { return std::isfinite(t.phi) && std::isfinite(t.dphi); }

// Sufficient decrease. Besides the Armijo condition this accepts the
// approximate form of Hager & Zhang (SIAM J. Optim. 16, 2005): when the value
// has not risen beyond rounding noise and the slope satisfies
// phi'(t) <= (2 c1 - 1) phi'(0), which is the Armijo condition for the
// quadratic through the two slopes. Near the minimum of a large sum, the
// true decrease of a step falls below the rounding error of the value and
// only the (exact) slope still carries information.
bool sufficient_decrease(const Trial& start, const Trial& t) {
  if (!finite(t)) return false;
  if (t.phi <= start.phi + kC1 * t.alpha * start.dphi) return true;
  return t.phi <= start.phi + kNoise * (1.0 + std::abs(start.phi)) &&
         t.dphi <= (2.0 * kC1 - 1.0) * start.dphi;
}

bool curvature(const Trial& start, const Trial& t) { return std::abs(t.dphi) <= -kC2 * start.dphi; }

// Next trial point of the zoom phase: the minimiser of the cubic
// interpolating phi and phi' at lo and hi (Nocedal & Wright eq. 3.59); the
// secant root of phi' when the cubic has no minimiser inside the interval;
// bisection when neither applies or when `bisect` is set. The interpolated
// point may lie close to an end (as it should when the minimiser is close to
// it); the caller forces bisection when the interval stops shrinking.
double zoom_step(const Trial& lo, const Trial& hi, bool bisect) {
  const double a = std::min(lo.alpha, hi.alpha);
  const double b = std::max(lo.alpha, hi.alpha);
  const double mid = 0.5 * (lo.alpha + hi.alpha);
  if (bisect || !finite(lo) || !finite(hi)) return mid;
  const auto inside = [&](double t) { return std::isfinite(t) && t > a && t < b; };
  double alpha = std::numeric_limits<double>::quiet_NaN();
  const double d1 = lo.dphi + hi.dphi - 3.0 * (lo.phi - hi.phi) / (lo.alpha - hi.alpha);
  const double disc = d1 * d1 - lo.dphi * hi.dphi;
  if (disc >= 0.0) {
    const double d2 = std::copysign(std::sqrt(disc), hi.alpha - lo.alpha);
    alpha = hi.alpha - (hi.alpha - lo.alpha) * (hi.dphi + d2 - d1) / (hi.dphi - lo.dphi + 2.0 * d2);
  }
  if (!inside(alpha) && lo.dphi * hi.dphi < 0.0) {
    alpha = lo.alpha - lo.dphi * (hi.alpha - lo.alpha) / (hi.dphi - lo.dphi);
  }
  if (!inside(alpha)) return mid;
  const double margin = 1e-9 * (b - a);
  return std::clamp(alpha, a + margin, b - margin);
}

// Algorithm 3.6 (zoom): `lo` satisfies sufficient decrease and has the lower
// value of the two ends; `hi` is the other end of an interval known to hold
// a strong-Wolfe point. Returns true with the accepted trial in `out`.
bool zoom(LineFunction& line, const Trial& start, Trial lo, Trial hi, Trial& out) {
  double width_before_last = std::numeric_limits<double>::infinity();
  double width_last = std::numeric_limits<double>::infinity();
  for (int j = 0; j < kMaxZoomSteps; ++j) {
    const double width = std::abs(hi.alpha - lo.alpha);
    if (width <= std::numeric_limits<double>::epsilon() * std::max(1.0, std::abs(lo.alpha))) {
      return false;
    }
    // Bisect when two interpolation steps have not halved the interval.
    const bool stalled = width > 0.5 * width_before_last;
    width_before_last = width_last;
    width_last = width;
    const Trial t = line(zoom_step(lo, hi, stalled));
    // Any point meeting both strong Wolfe conditions is accepted at once.
    if (sufficient_decrease(start, t) && curvature(start, t)) {
      out = t;
      return true;
    }
    if (!sufficient_decrease(start, t) || t.phi >= lo.phi) {
      hi = t;
      continue;
    }
    if (t.dphi * (hi.alpha - lo.alpha) >= 0.0) hi = lo;
    lo = t;
  }
  return false;
}

// Algorithm 3.5: bracket a strong-Wolfe step starting from `alpha1`,
// doubling the trial step while the function keeps decreasing.
bool strong_wolfe_search(LineFunction& line, const Trial& start, double alpha1, Trial& out) {
  Trial prev = start;
  double alpha = alpha1;
  for (int i = 0; i < kMaxBracketSteps; ++i) {
    const Trial t = line(alpha);
    if (sufficient_decrease(start, t) && curvature(start, t)) {
      out = t;
      return true;
    }
    if (!sufficient_decrease(start, t) || (i > 0 && t.phi >= prev.phi)) {
      return zoom(line, start, prev, t, out);
    }
    if (t.dphi >= 0.0) return zoom(line, start, t, prev, out);
    prev = t;
    alpha *= 2.0;
  }
  return false;
}

}  // namespace

BfgsResult minimize_bfgs(const ObjectiveWithGradient& objective, const Eigen::VectorXd& x0,
                         const BfgsOptions& options) {
  const Eigen::Index n = x0.size();
  BfgsResult result;
  result.x = x0;
  result.grad = Eigen::VectorXd::Zero(n);
  result.inv_hessian = Eigen::MatrixXd::Identity(n, n);
  result.fun = objective(result.x, result.grad);
  result.n_evaluations = 1;
  if (!std::isfinite(result.fun) || !result.grad.allFinite()) {
    result.status = kNonFiniteStart;
    result.success = false;
    return result;
  }

  Eigen::VectorXd& x = result.x;
  Eigen::VectorXd& g = result.grad;
  Eigen::MatrixXd& H = result.inv_hessian;
  Eigen::VectorXd p(n), x_new(n), g_new(n), s(n), y(n), Hy(n);
  LineFunction line(objective, x, p, x_new, g_new, result.n_evaluations);

  int status = kIterationLimit;
  for (int k = 0;; ++k) {
    if (n == 0 || g.lpNorm<Eigen::Infinity>() <= options.tol) {
      status = kConverged;
      break;
    }
    if (k >= options.max_iter) {
      status = kIterationLimit;
      break;
    }
    p.noalias() = -H * g;
    double dphi0 = g.dot(p);
    if (!(dphi0 < 0.0)) {
      // The approximation lost positive definiteness to rounding: restart
      // from steepest descent.
      H.setIdentity();
      p = -g;
      dphi0 = -g.squaredNorm();
    }
    // First step: a move of unit length, as there is no curvature
    // information yet; afterwards the quasi-Newton step.
    const double alpha1 = k == 0 ? 1.0 / p.norm() : 1.0;
    Trial accepted;
    if (!strong_wolfe_search(line, Trial{0.0, result.fun, dphi0}, alpha1, accepted)) {
      status = kLineSearchFailed;
      break;
    }
    // The line function leaves the last evaluated point in x_new / g_new,
    // which is the accepted one.
    s = x_new - x;
    y = g_new - g;
    x.swap(x_new);
    g.swap(g_new);
    result.fun = accepted.phi;
    result.iterations = k + 1;

    const double ys = y.dot(s);
    if (ys > 0.0) {
      if (k == 0) H *= ys / y.squaredNorm();  // Nocedal & Wright eq. 6.20
      // H <- (I - rho s y') H (I - rho y s') + rho s s', H symmetric.
      const double rho = 1.0 / ys;
      Hy.noalias() = H * y;
      const double yHy = y.dot(Hy);
      H.noalias() -= (rho * s) * Hy.transpose();
      H.noalias() -= (rho * Hy) * s.transpose();
      H.noalias() += (rho * rho * yHy + rho) * (s * s.transpose());
    }
  }
  result.status = status;
  result.success = status == kConverged;
  return result;
}

}  // namespace kelp_sae::kernels
