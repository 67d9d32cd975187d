// The public numerical kernels of the area-level model:
//   fit_fay_herriot_reml, fit_fay_herriot_ml   (Fay-Herriot fitters)
//   estimate_mse_prasad_rao                    (EBLUPs with Prasad-Rao MSE)
//
//   #include "kelp_sae/kernels/kernels.h"
//   using namespace kelp_sae::kernels;
//   const Eigen::Index p = X.cols();
//   OptimizationResult fit = fit_fay_herriot_reml(Eigen::VectorXd::Zero(p + 1), X, y, D);
//   const double sigma_u2 = std::exp(2.0 * fit.params(p));
//   auto [est, mse, g1, g2, g3] = estimate_mse_prasad_rao(
//       X, y, D, fit.params.head(p), sigma_u2, fit.hessian_inv.topLeftCorner(p, p));
#pragma once

#include "kelp_sae/kernels/mse/prasad_rao.h"
#include "kelp_sae/kernels/optimization/fh.h"
