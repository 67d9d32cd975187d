// BaseSAEModel: the shared optimization loop for all models.
//
// A small abstract base offering one operation: minimise a negative
// log-likelihood (value and gradient) with the library's BFGS, starting from
// `init_params`. Extra arguments of the loss are captured by the callable.
//
//   class MyModel : public kelp_sae::BaseSAEModel {
//     void fit() {
//       auto nll = [&](const Eigen::VectorXd& theta, Eigen::VectorXd& grad) { ... };
//       kernels::BfgsResult r = optimize(nll, Eigen::VectorXd::Zero(2));
//     }
//   };
//
// The area-level model does not derive from it; its fitters run their own
// loop on the same minimiser.
#pragma once

#include <Eigen/Core>

#include "kelp_sae/kernels/optimization/bfgs.h"

namespace kelp_sae {

class BaseSAEModel {
 public:
  virtual ~BaseSAEModel() = default;

 protected:
  BaseSAEModel() = default;
  BaseSAEModel(const BaseSAEModel&) = default;
  BaseSAEModel& operator=(const BaseSAEModel&) = default;

  // Shared optimization loop for all models: BFGS on `nll_kernel` from
  // `init_params` with the customary defaults, a gradient tolerance of 1e-5
  // (largest absolute component) and at most 200 iterations per parameter.
  // The minimiser's result is returned unchanged; non-convergence is
  // reported in it, never thrown.
  static kernels::BfgsResult optimize(const kernels::ObjectiveWithGradient& nll_kernel,
                                      const Eigen::VectorXd& init_params);
  // The same loop with explicit options.
  static kernels::BfgsResult optimize(const kernels::ObjectiveWithGradient& nll_kernel,
                                      const Eigen::VectorXd& init_params,
                                      const kernels::BfgsOptions& options);
};

}  // namespace kelp_sae
