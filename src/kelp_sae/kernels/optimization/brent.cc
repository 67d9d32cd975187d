#include "kelp_sae/kernels/optimization/brent.h"

#include <cmath>
#include <stdexcept>

namespace kelp_sae::kernels {
namespace {

double sign_or_one(double v) { return v > 0.0 ? 1.0 : (v < 0.0 ? -1.0 : 1.0); }

}  // namespace

ScalarResult minimize_scalar_bounded(const std::function<double(double)>& f, double lo, double hi,
                                     const ScalarOptions& options) {
  if (!std::isfinite(lo) || !std::isfinite(hi)) {
    throw std::invalid_argument("minimize_scalar_bounded: the bounds must be finite");
  }
  if (lo > hi) {
    throw std::invalid_argument("minimize_scalar_bounded: the lower bound exceeds the upper bound");
  }
  const double sqrt_eps = std::sqrt(2.2e-16);
  const double golden_mean = 0.5 * (3.0 - std::sqrt(5.0));

  double a = lo, b = hi;
  // xf: best point; nfc: second best; fulc: previous value of nfc.
  double fulc = a + golden_mean * (b - a);
  double nfc = fulc, xf = fulc;
  double rat = 0.0, e = 0.0;
  double fx = f(xf);
  int num = 1;
  double fu = fx;
  double ffulc = fx, fnfc = fx;
  double xm = 0.5 * (a + b);
  double tol1 = sqrt_eps * std::abs(xf) + options.xatol / 3.0;
  double tol2 = 2.0 * tol1;
  int status = 0;

  while (std::abs(xf - xm) > (tol2 - 0.5 * (b - a))) {
    bool golden = true;
    if (std::abs(e) > tol1) {
      // Parabola through the three best points.
      golden = false;
      double r = (xf - nfc) * (fx - ffulc);
      double q = (xf - fulc) * (fx - fnfc);
      double p = (xf - fulc) * q - (xf - nfc) * r;
      q = 2.0 * (q - r);
      if (q > 0.0) p = -p;
      q = std::abs(q);
      r = e;
      e = rat;
      if (std::abs(p) < std::abs(0.5 * q * r) && p > q * (a - xf) && p < q * (b - xf)) {
        rat = p / q;
        const double x = xf + rat;
        if ((x - a) < tol2 || (b - x) < tol2) rat = tol1 * sign_or_one(xm - xf);
      } else {
        golden = true;
      }
    }
    if (golden) {
      e = xf >= xm ? a - xf : b - xf;
      rat = golden_mean * e;
    }
    const double x = xf + sign_or_one(rat) * std::max(std::abs(rat), tol1);
    fu = f(x);
    ++num;

    if (fu <= fx) {
      if (x >= xf) {
        a = xf;
      } else {
        b = xf;
      }
      fulc = nfc;
      ffulc = fnfc;
      nfc = xf;
      fnfc = fx;
      xf = x;
      fx = fu;
    } else {
      if (x < xf) {
        a = x;
      } else {
        b = x;
      }
      if (fu <= fnfc || nfc == xf) {
        fulc = nfc;
        ffulc = fnfc;
        nfc = x;
        fnfc = fu;
      } else if (fu <= ffulc || fulc == xf || fulc == nfc) {
        fulc = x;
        ffulc = fu;
      }
    }
    xm = 0.5 * (a + b);
    tol1 = sqrt_eps * std::abs(xf) + options.xatol / 3.0;
    tol2 = 2.0 * tol1;
    if (num >= options.max_iter) {
      status = 1;
      break;
    }
  }
  if (std::isnan(xf) || std::isnan(fx) || std::isnan(fu)) status = 2;
  return {.x = xf, .fun = fx, .n_evaluations = num, .status = status, .success = status == 0};
}

}  // namespace kelp_sae::kernels
