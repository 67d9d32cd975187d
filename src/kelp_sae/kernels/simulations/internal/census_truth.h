// The census draw of census_indicators on fixed parts computed by the caller,
// for the bootstrap, whose true census keeps x' beta_hat across replicates.
#pragma once

#include <Eigen/Core>

#include "kelp_sae/kernels/simulations/ebp_monte_carlo.h"

namespace kelp_sae::kernels::internal {

// census_indicators(key, population, beta, u, sigma_e, scale, indicators)
// with xb = population.X beta (one entry per census unit), bit for bit.
// Arguments are not checked.
Eigen::MatrixXd census_indicators_from_fixed_part(
    random::Key key, const PopulationDesign& population,
    const Eigen::Ref<const Eigen::VectorXd>& xb, const Eigen::Ref<const Eigen::VectorXd>& u,
    double sigma_e, const EbpScale& scale, const IndicatorSet& indicators, AreaGroups groups = {});

}  // namespace kelp_sae::kernels::internal
