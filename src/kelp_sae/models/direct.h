// Direct estimates: design-based estimates of poverty and inequality
// indicators by area from a survey sample, the yardstick the model-based
// estimates are compared with.
//
//   kelp::Sample sample(kelp::read_csv("survey.csv"),
//                       {.weight = "weight", .strata = "stratum", .psu = "psu"});
//   kelp_sae::SAEResults direct = kelp_sae::estimate_direct(
//       sample, "income", "district",
//       {.indicators = {Indicator::MEAN, Indicator::POVERTY_HEADCOUNT, Indicator::GINI},
//        .threshold_share = 0.6, .n_reps = 500, .rstate = 7});
//
// Estimates. Every sample unit stands for its weight's worth of population
// units (weight 1 without a weight column), and an area's estimate of an
// indicator is the weighted indicator of its units (the definitions of
// kernels/simulations/indicators.h: weighted mean and FGT measures, Gini
// over all pairs, QSR with cuts in units of weight, quantiles as the
// smallest value whose cumulative weight share reaches p). The poverty line
// is `threshold`, or `threshold_share` times the weighted median of the
// whole sample's response.
//
// Variance, reported as `mse`, with CV sqrt(mse) / pred for positive
// estimates and the interval pred -/+ 1.96 sqrt(mse):
//   "linearization"  the mean and the FGT measures by Taylor linearisation
//                    through kelp::Sample (the mean of y, of [y < z], of the
//                    gap and of its square by area as domain means, honouring
//                    strata and PSUs; the poverty line is taken as fixed);
//                    the Gini, QSR and quantiles by the bootstrap;
//   "bootstrap"      every indicator by the bootstrap: with strata or PSUs,
//                    the Rao-Wu rescaling bootstrap of PSUs within strata
//                    (every unit its own PSU without a PSU column, one
//                    stratum without a strata column); without them, units
//                    resampled within their area. A poverty line given as a
//                    share of the median is recomputed in every replicate.
//                    Seeded from `rstate`; the same seed gives the same
//                    numbers for any thread count
//                    (kernels/mse/bootstrap_direct.h);
//   "none"           no variance (NaN).
// An area with a single sampled unit has no variance (NaN), with one warning
// for all such areas.
//
// Areas are the normalised labels of the area column (normalize_area_label:
// 7, 7.0 and "007" are one area), in ascending order; rows come per area and
// indicator, in the order the indicators were requested. The result has
// level "Unit Level", model_type "Direct", the statistics method "Direct"
// with the numbers of units and areas, no model terms, and the transformation
// block "none" holding the poverty line used.
//
// Failures:
//   ArgumentError     var not one of the texts above; n_reps below 2 when a
//                     bootstrap runs; threshold_share not positive and
//                     finite; a caller-supplied indicator function or an
//                     unknown indicator text; no indicator; a poverty line
//                     that is not positive and finite when a poverty measure
//                     is requested; a negative integer rstate
//   kelp::ModelError  "Missing columns" (the response or area column),
//                     "Non-numeric column", "Missing values" (a null or
//                     non-finite response, a null area label), "Empty
//                     dataset", "Invalid weights" (a weight that is not
//                     positive, naming the column, the count and the first
//                     row)
#pragma once

#include <optional>
#include <string>

#include "kelp/random_state.h"
#include "kelp/sample.h"
#include "kelp_sae/models/ebp_options.h"
#include "kelp_sae/results/containers.h"

namespace kelp_sae {

struct DirectOptions {
  // Built-in indicators only (an Indicator or its display text).
  IndicatorList indicators = {Indicator::POVERTY_HEADCOUNT, Indicator::POVERTY_GAP};
  // The poverty line; replaced by threshold_share times the weighted median
  // of the sample's response when that is set.
  double threshold = 0.6;
  std::optional<double> threshold_share = std::nullopt;
  // "linearization", "bootstrap" or "none", in any case.
  std::string var = "linearization";
  // Bootstrap replicates.
  int n_reps = 200;
  kelp::RandomStateArg rstate = {};
};

// Direct estimates of the indicators of `y` by the areas of column `area`,
// under the sample's design.
SAEResults estimate_direct(const kelp::Sample& sample, const std::string& y,
                           const std::string& area, const DirectOptions& options = {});

}  // namespace kelp_sae
