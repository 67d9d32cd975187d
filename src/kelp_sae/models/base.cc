#include "kelp_sae/models/base.h"

namespace kelp_sae {

kernels::BfgsResult BaseSAEModel::optimize(const kernels::ObjectiveWithGradient& nll_kernel,
                                           const Eigen::VectorXd& init_params) {
  const kernels::BfgsOptions options{.tol = 1e-5,
                                     .max_iter = 200 * static_cast<int>(init_params.size())};
  return kernels::minimize_bfgs(nll_kernel, init_params, options);
}

kernels::BfgsResult BaseSAEModel::optimize(const kernels::ObjectiveWithGradient& nll_kernel,
                                           const Eigen::VectorXd& init_params,
                                           const kernels::BfgsOptions& options) {
  return kernels::minimize_bfgs(nll_kernel, init_params, options);
}

}  // namespace kelp_sae
