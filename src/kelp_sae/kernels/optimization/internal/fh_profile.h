// Workspace evaluator of the profiled Fay-Herriot losses, shared by the loss
// library, the fitters and the bootstrap. Not part of the public interface.
//
// Model y ~ N(X beta, V), V = diag(s + D_i), s = sigma_u^2 = exp(2 l) with
// l = clip(log sigma_u, -10, 10). With V_i* = max(V_i, 1e-10), W_i = 1 / V_i*,
// A0 = X' diag(W) X, A = A0 + eps I with the relative ridge
// eps = 1e-10 tr(A0) / p (1e-10 when tr(A0) = 0), beta(s) = A^-1 X' diag(W) y,
// r = y - X beta and RSS = sum_i W_i r_i^2:
//   REML: L = 0.5 ((N - p) log 2pi + sum_i log V_i* + log|A| + RSS)
//   ML:   L = 0.5 (N log 2pi + sum_i log V_i* + RSS)
//
// Exact derivatives. Let a_i = [V_i > 1e-10] (the floor has zero slope) and
// write ' for d/ds. Then W_i' = -a_i W_i^2, W_i'' = 2 a_i W_i^3, the ridge
// moves with A0 (eps' = 1e-10 tr(X' diag(W') X) / p, likewise eps''; both 0
// when tr(A0) = 0) and, with A1 = A' = X' diag(W') X + eps' I and
// A2 = A'' = X' diag(W'') X + eps'' I:
//   (sum log V*)'  =  sum a_i W_i,        (sum log V*)'' = -sum a_i W_i^2,
//   (log|A|)'      =  tr(A^-1 A1),
//   (log|A|)''     =  tr(A^-1 A2) - tr(A^-1 A1 A^-1 A1).
// beta solves the ridge-penalised weighted least squares problem, so
// X'(W o r) = eps beta; with c = X'(W' o r):
//   beta'  = A^-1 (c - eps' beta),
//   beta'' = A^-1 (X'(W'' o r) - 2 A1 beta' - eps'' beta),
//   RSS'   = sum W_i' r_i^2 - 2 eps beta.beta',
//   RSS''  = sum W_i'' r_i^2 - 2 c.beta' - 2 eps' beta.beta'
//            - 2 eps (beta'.beta' + beta.beta'').
// (Without the ridge RSS' = sum W_i' r_i^2 by the envelope theorem; the eps
// terms keep the derivative exact for the ridge-regularised beta.) Finally,
// for |log sigma_u| <= 10, ds/dl = 2 s and d2s/dl2 = 4 s:
//   dL/dl = 2 s L_s,   d2L/dl2 = 4 s^2 L_ss + 4 s L_s,
// and both are 0 outside [-10, 10], where L is constant.
//
// The weighted Gram matrices X' diag(w) X are formed from the packed products
// x_ij x_ik (j <= k) computed once per design, so one evaluation of the value
// and slope costs about N p^2 flops and allocates nothing.
#pragma once

#include <Eigen/Core>
#include <Eigen/LU>
#include <string_view>

#include "kelp_sae/kernels/optimization/bfgs.h"

namespace kelp_sae::kernels::internal {

enum class FhCriterion { kReml, kMl };

inline constexpr double kFhLogSigmaBound = 10.0;
inline constexpr double kFhVarianceFloor = 1e-10;
inline constexpr double kFhRidge = 1e-10;  // relative to the mean diagonal of A0

struct FhLossValue {
  double value = 0.0;
  double d1 = 0.0;  // dL / d log sigma_u
  double d2 = 0.0;  // d2L / d log sigma_u^2
};

// Throws std::invalid_argument naming `function` when the shapes of X, y and
// D disagree or X has no column.
void check_fh_shapes(std::string_view function, const Eigen::Ref<const Eigen::MatrixXd>& X,
                     Eigen::Index y_size, Eigen::Index D_size);

class FhProfile {
 public:
  // Keeps references to X and D: the profile must not outlive them.
  FhProfile(const Eigen::Ref<const Eigen::MatrixXd>& X, const Eigen::Ref<const Eigen::VectorXd>& D,
            FhCriterion criterion);

  // The loss at log sigma_u for the response y, with derivatives up to
  // `order` (0, 1 or 2; higher-order fields are 0 when not requested).
  FhLossValue evaluate(double log_sigma, const Eigen::Ref<const Eigen::VectorXd>& y, int order);

  // State of the last evaluation: the GLS coefficients and the factorised A.
  const Eigen::VectorXd& beta() const { return beta_; }
  // The clipped log sigma_u of the last evaluation (NaN before the first).
  double last_log_sigma() const { return last_log_sigma_; }
  Eigen::MatrixXd covariance() const { return lu_.inverse(); }

 private:
  void weighted_grams(int n_weights);

  const Eigen::Ref<const Eigen::MatrixXd>& X_;
  const Eigen::Ref<const Eigen::VectorXd>& D_;
  FhCriterion criterion_;
  double last_log_sigma_;
  Eigen::Index n_;
  Eigen::Index p_;
  bool packed_;
  Eigen::MatrixXd products_;  // N x p(p+1)/2 packed x_ij x_ik, when packed_
  Eigen::MatrixXd weights_;   // N x 3: W, W', W''
  Eigen::MatrixXd grams_;     // p(p+1)/2 x 3 packed X' diag(w) X
  Eigen::MatrixXd scaled_;    // N x p: diag(w) X, when not packed_
  Eigen::MatrixXd A_, A1_, A2_, M_;
  Eigen::PartialPivLU<Eigen::MatrixXd> lu_;
  Eigen::VectorXd beta_, beta1_, beta2_, b_, c_, r_, t_;
};

// The minimisation of a profiled loss over log sigma_u by BFGS, from
// log_sigma0. The caller evaluates the profile at the returned (clipped)
// log_sigma to read the coefficients that belong to it.
struct FhFitCore {
  double log_sigma = 0.0;  // clipped to [-10, 10]
  double fun = 0.0;        // the minimiser's final loss
  int status = kConverged;
  bool success = false;
};
FhFitCore fit_profile(FhProfile& profile, const Eigen::Ref<const Eigen::VectorXd>& y,
                      double log_sigma0, const BfgsOptions& options);

}  // namespace kelp_sae::kernels::internal
