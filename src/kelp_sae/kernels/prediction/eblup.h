// The EBLUP formula shared by the predictors, the Prasad-Rao MSE and the
// bootstraps (Fay and Herriot 1979; Battese, Harter and Fuller 1988).
//
// An area whose direct estimate has sampling variance v (Fay-Herriot: D_i;
// nested error: sigma_e^2 / n_i) is shrunk towards its synthetic estimate by
//   gamma = sigma_u^2 / (sigma_u^2 + v),
// its predicted effect is gamma (direct - synthetic), and
//   EBLUP = gamma direct + (1 - gamma) synthetic.
#pragma once

namespace kelp_sae::kernels {

inline double eblup_gamma(double sigma_u2, double sampling_variance) {
  return sigma_u2 / (sigma_u2 + sampling_variance);
}

inline double eblup_area_effect(double gamma, double direct, double synthetic) {
  return gamma * (direct - synthetic);
}

inline double eblup(double gamma, double direct, double synthetic) {
  return gamma * direct + (1.0 - gamma) * synthetic;
}

}  // namespace kelp_sae::kernels
