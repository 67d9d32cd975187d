// Empirical best predictors of area indicators by Monte Carlo (Molina and
// Rao 2010), over a census stored one contiguous block per area.
//
// Model on the transformed scale: y = x' beta + u_a + e, u_a ~ N(0, sigma_u^2),
// e ~ N(0, sigma_e^2). Given the sample, u_a ~ N(u_hat_a, sigma_cond_a^2) with
// sigma_cond_a = sqrt(sigma_u^2 (1 - gamma_a)) (sigma_u for an area without
// sample, gamma = 0, u_hat = 0). Each of n_mc synthetic censuses draws every
// unit, y*_j = x_j' beta + u_a + sigma_e e_j, brings it to the data scale,
// g^-1(y*_j) - shift, and evaluates every indicator per area (indicators.h);
// the EBP is the mean over the n_mc censuses.
//
// Random draws. rng_key is split into n_mc replicate keys; replicate r splits
// its key (split2) into k1 and k2, k1 into M area-effect keys and k2 into M
// unit-error keys. Area a draws its effect as normal draw 0 of its
// area-effect key, and unit j of area a (row offsets[a] + j) takes normal
// draw j of its unit-error key. Every value thus depends only on the keys and
// the unit's position, never on threads or chunking.
//
// Work is fused per (replicate, area): draws, back-transformation and every
// indicator in one pass over the area, x' beta formed once per area and
// reused across replicates. Memory is one buffer of the largest area per
// thread plus at most 2^18 area keys at a time (replicates are taken in
// chunks), never n_mc x N values. Areas run in parallel (OpenMP); each area's
// replicates are summed in replicate order, so results are bit-identical for
// any number of threads and any chunking (see internal/area_synthesis.h for
// agreement across CPUs).
//
//   IndicatorSet ind({Indicator::MEAN, Indicator::POVERTY_HEADCOUNT}, z);
//   Eigen::MatrixXd ebp = simulate_ebp(key, 50, census, beta, u_hat, gamma, sigma_u, sigma_e,
//                                      {.back_transformation = BackTransformation::log()}, ind);
//   // ebp(k, a): indicator k of area a
#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <span>
#include <vector>

#include "kelp_sae/kernels/sample_design.h"
#include "kelp_sae/kernels/simulations/indicators.h"
#include "kelp_sae/kernels/transformations/boxcox.h"
#include "kelp_sae/random/keys.h"

namespace kelp_sae::kernels {

// A census: the units of area a are rows offsets[a] .. offsets[a+1]-1 of X
// (N x p, column 0 the constant 1); an area may be empty. With population
// weights (weights non-empty) unit j stands for weights[j] units and every
// indicator is that of the weighted population
// (IndicatorSet::evaluate_weighted; caller-supplied indicators see the
// values unweighted); without, the unweighted indicators.
using PopulationDesign = SampleDesign;

// Higher levels (regions): group g pools the census areas groups[g]. Its indicators are those of
// the pooled units (weighted, with population weights), from the very values its areas' indicators
// are computed from; they follow the M area columns of a result, in group order. A group's areas
// are drawn one after another into one buffer, each evaluated as soon as it is drawn, so a group
// adds its own evaluation and no draws; (replicate, group) pairs run in parallel and are summed in
// replicate order, and the area columns are those of a call without groups, bit for bit.
using AreaGroups = std::span<const std::vector<Eigen::Index>>;

// From the model scale to the data scale: g^-1(y*) - shift.
struct EbpScale {
  BackTransformation back_transformation;
  double shift = 0.0;
};

// What a simulation saw besides the indicators.
struct EbpSimulationCounts {
  // Synthetic values whose inverse Box-Cox base lambda y* + 1 fell below
  // 1e-9 (beyond the transformation's range: below -1/lambda for lambda > 0,
  // above it for lambda < 0) and was floored there.
  std::int64_t floored = 0;
};

// n_mc >= 1; population with M areas and p columns; beta (p); u_eblup and
// gamma (M, gamma in [0, 1]); sigma_u, sigma_e >= 0 on the model scale.
// Returns K x (M + G) Monte Carlo means (K = indicators.size(), G groups
// after the areas) and, when `counts`
// is given, fills it. Throws std::invalid_argument naming the argument for
// n_mc < 1, mismatched shapes, a design without the constant column,
// negative or non-finite sigmas or population weights, or a group naming an
// area outside 0..M-1; an exception from a caller's indicator ends
// the call with that exception.
Eigen::MatrixXd simulate_ebp(random::Key rng_key, int n_mc, const PopulationDesign& population,
                             const Eigen::Ref<const Eigen::VectorXd>& beta,
                             const Eigen::Ref<const Eigen::VectorXd>& u_eblup,
                             const Eigen::Ref<const Eigen::VectorXd>& gamma, double sigma_u,
                             double sigma_e, const EbpScale& scale, const IndicatorSet& indicators,
                             EbpSimulationCounts* counts = nullptr, AreaGroups groups = {});

// The indicators (K x (M + G), groups after the areas) of one census drawn from the model with
// known area effects u (M): y_j = x_j' beta + u_a + sigma_e e_j on the model scale, g^-1(y_j) -
// shift on the data scale, where unit j of area a takes normal draw offsets[a] + j of `key` (its
// row in the census). The bootstrap's "true" census. Same checks as simulate_ebp.
Eigen::MatrixXd census_indicators(random::Key key, const PopulationDesign& population,
                                  const Eigen::Ref<const Eigen::VectorXd>& beta,
                                  const Eigen::Ref<const Eigen::VectorXd>& u, double sigma_e,
                                  const EbpScale& scale, const IndicatorSet& indicators,
                                  AreaGroups groups = {});

}  // namespace kelp_sae::kernels
