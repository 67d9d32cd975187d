// The shared front-end spine: what every model front end (fh, eblup, ebp)
// does around its kernels, written once.
//
//   - resolve_run: the fit and bootstrap settings every front end takes
//     (RunOptions) with the model's defaults filled in, checked in one
//     place, and the bootstrap's random state resolved to a seed;
//   - parse_variance_method: the method text parsed once into a type, with a
//     message that names the option, the value and the accepted values (the
//     other choices use check_choice of core/checks.h);
//   - column_scale: standardisation with divisor n;
//   - prediction_rows: area rows with MSE, CV and the normal interval;
//   - gaussian_log_likelihood / information_criteria: one definition of the
//     likelihood constant and of AIC, BIC and KIC;
//   - require_converged / require_finite_results: the convergence policy and
//     the final guard against non-finite predictions and MSEs;
//   - check_covariate_names / check_design: designs the fit cannot identify
//     (a covariate given twice, no more observations than columns, columns
//     collinear in the data);
//   - first_labels: the first few area labels of a message.
//
// Internal to the model front ends; not installed.
#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/random_state.h"
#include "kelp_sae/core/optimization_result.h"
#include "kelp_sae/core/progress.h"
#include "kelp_sae/core/replicate_share.h"
#include "kelp_sae/core/variance_method.h"
#include "kelp_sae/models/run_options.h"
#include "kelp_sae/results/containers.h"

namespace kelp_sae::models::internal {

// The method text, trimmed and in any case, as a VarianceMethod; anything
// else throws ArgumentError "<function>: method must be 'REML' or 'ML'; got
// '<text>'.".
VarianceMethod parse_variance_method(std::string_view function, std::string_view text);

// The method as the kernels' text form ("REML", "ML").
const char* variance_method_text(VarianceMethod method);

// What a seed of 0 means to a front end. Fay-Herriot's bootstrap takes 0 from
// any random state as "draw a fresh seed"; the unit-level front ends use an
// integer state as the seed itself, 0 included.
enum class ZeroSeed { kDrawFresh, kIsSeed };

// The seed of the bootstrap's root key. No state draws a fresh seed in
// [0, 2^30); a negative integer throws ArgumentError naming `rstate`; a
// RandomState gives its seed (0 drawing fresh under kDrawFresh).
std::uint64_t resolve_seed(std::string_view function, const kelp::RandomStateArg& rstate,
                           ZeroSeed zero);

// The run settings of one call: the caller's RunOptions with the model's
// defaults in place of unset values, and the bootstrap's seed.
struct RunSettings {
  int n_reps = 0;
  int batch_size = 1;
  double tol = 0.0;
  int max_iter = 0;
  bool progress_bar = true;
  std::ostream* progress_out = nullptr;
  ReplicateShare* share = nullptr;
  std::uint64_t seed = 0;  // 0 when the call runs no bootstrap
};

// Checks `options` for `function` ("fh", "eblup", "ebp") with unset values
// taken from `defaults`: tol finite and at least 0, max_iter at least 0, and
// with `bootstrap` n_reps and batch_size at least 1 and an integer rstate at
// least 0 (otherwise these three are not used). Throws ArgumentError naming
// the option. With `bootstrap` the random state is then resolved to the seed
// (resolve_seed with `zero`).
RunSettings resolve_run(std::string_view function, const RunOptions& options,
                        const RunDefaults& defaults, bool bootstrap, ZeroSeed zero);

// Centre and scale of one column: the mean when `centre` (else 0), and the
// standard deviation with divisor n when it exceeds `floor` (else 1, so the
// column is left unscaled). Any finite values give finite results: columns
// whose squares would leave the range of double are reduced first. Applying it: (v - centre) /
// scale.
struct ColumnScale {
  double centre = 0.0;
  double scale = 1.0;
};
ColumnScale column_scale(const Eigen::Ref<const Eigen::VectorXd>& v, bool centre,
                         double floor = 0.0);
Eigen::VectorXd apply_scale(const ColumnScale& s, const Eigen::Ref<const Eigen::VectorXd>& v);

// When a prediction's coefficient of variation sqrt(mse) / pred is given (0
// otherwise): Fay-Herriot for any non-zero prediction, the unit-level means
// for positive ones.
enum class CvRule { kNonZeroPrediction, kPositivePrediction };

// One row per area: the prediction, its MSE, the CV under `cv_rule` and the
// interval pred -/+ 1.96 sqrt(mse); `indicator` when given, else the record's
// default. `areas`, `pred` and `mse` have equal lengths.
std::vector<SAEPred> prediction_rows(const std::vector<std::string>& areas,
                                     const Eigen::Ref<const Eigen::VectorXd>& pred,
                                     const Eigen::Ref<const Eigen::VectorXd>& mse, CvRule cv_rule,
                                     const std::optional<std::string>& indicator = std::nullopt);

// The progress display of a front end's bootstrap over `run`'s replicates and
// batches: with progress_bar the bar on a terminal (else a header and every
// fifth batch line), without it the batch lines `without_bar`; plain lines go
// to progress_out (std::cout when null).
ProgressDisplayOptions bootstrap_progress(std::string desc, std::string header,
                                          const RunSettings& run, BatchLines without_bar);

// The Gaussian log-likelihood from -2 log L without its constant: the
// constant is n log(2 pi) for ML and (n - p) log(2 pi) for REML, whose
// likelihood is that of n - p error contrasts.
double gaussian_log_likelihood(double neg2_loglik_without_constant, VarianceMethod method,
                               Eigen::Index n, Eigen::Index p);

struct InformationCriteria {
  double aic = 0.0;  // -2 log L + 2 k
  double bic = 0.0;  // -2 log L + k log n
  double kic = 0.0;  // -2 log L + 3 k
};
// k: estimated parameters (coefficients and variance components); n: observations.
InformationCriteria information_criteria(double log_likelihood, double k, double n);

// The statistics of a nested-error fit with p fixed effects and the two
// variance components: the likelihood with the constant of `method`, AIC,
// BIC, KIC and the intra-class correlation; `method_label` is shown as the
// method, `n_areas` as the number of areas.
SAEStats nested_error_stats(std::string method_label, VarianceMethod method,
                            double neg2_loglik_without_constant, Eigen::Index n, Eigen::Index p,
                            Eigen::Index n_areas, double sigma_u, double sigma_e);

// Up to `shown` labels quoted and comma-separated, then " and <k> more" when
// some are left out: "'a', 'b' and 3 more".
std::string first_labels(const std::vector<std::string>& labels, std::size_t shown = 5);

// The final guard of a front end: a prediction or MSE that is not finite is
// never returned as a result. Throws kelp::ModelError "Non-finite results"
// counting and naming the areas (the first few), followed by `hint`, which
// says what to change. `areas`, `pred` and `mse` have equal lengths.
void require_finite_results(const std::vector<std::string>& areas,
                            const Eigen::Ref<const Eigen::VectorXd>& pred,
                            const Eigen::Ref<const Eigen::VectorXd>& mse, std::string_view hint);

// Each design column once: a resolved covariate name given twice (--x
// age,age, or a plain column named like a dummy of a categorical term)
// throws kelp::ModelError "Duplicate covariates": "Covariate 'age' is given
// 2 times; give each covariate once.".
void check_covariate_names(const std::vector<std::string>& names);

// What a design's rows are, for the messages of check_design.
struct DesignRows {
  std::string_view fit;   // "The Fay-Herriot fit"
  std::string_view unit;  // "area", "sample unit" (singular; "s" is appended)
};

// The relative size below which a design column counts as a linear
// combination of the columns before it: the norm of its part orthogonal to
// them, divided by its own norm. 1e-7 is the tolerance of R's lm.
inline constexpr double kCollinearityTolerance = 1e-7;

// The design `X` (n x p, columns named by `names`, "Intercept" included when
// present) must identify its coefficients. Throws kelp::ModelError
//   "Too few observations": "<fit> needs more <unit>s than design columns;
//     found <n> <unit>s for <p> columns." when n <= p;
//   "Collinear covariates": when a column is, within
//     kCollinearityTolerance, a linear combination of the columns before it
//     (taken in order, each scaled to unit norm, so the test does not depend
//     on the data's units): "'x2' is a linear combination of 'Intercept' and
//     'x1' in the data; drop one of them.", "'age' is constant in the data,
//     like the intercept; drop it." or "'d' is 0 in every row of the data;
//     drop it.".
// Cost: O(n p^2), by modified Gram-Schmidt with reorthogonalisation.
void check_design(const Eigen::Ref<const Eigen::MatrixXd>& X, const std::vector<std::string>& names,
                  const DesignRows& rows);

// The convergence policy: a fit that did not converge is never used. Throws
// kelp::ModelError "Optimization failed" / "BFGS optimizer did not converge.".
void require_converged(const OptimizationResult& fit);

}  // namespace kelp_sae::models::internal
