#include "kelp_sae/kernels/mse/bootstrap_area.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelp_sae/core/replicate_share.h"
#include "kelp_sae/kernels/optimization/internal/fh_profile.h"
#include "kelp_sae/kernels/optimization/internal/parallel_failure.h"
#include "kelp_sae/kernels/prediction/eblup.h"

namespace kelp_sae::kernels {
namespace {

using internal::FhCriterion;
using internal::FhProfile;

// Replicates evaluated in one parallel pass (a scheduling choice; the
// numbers do not depend on it).
constexpr std::int64_t kPassReplicates = 256;
// Replicate keys are children of the run's key: at most 2^32 of them.
constexpr std::int64_t kMaxReplicates = std::int64_t{1} << 32;

// Per-thread state reused across replicates.
struct Workspace {
  Workspace(const Eigen::Ref<const Eigen::MatrixXd>& X, const Eigen::Ref<const Eigen::VectorXd>& D,
            FhCriterion criterion)
      : profile(X, D, criterion),
        z1(X.rows()),
        z2(X.rows()),
        theta(X.rows()),
        y_star(X.rows()),
        mu_star(X.rows()) {}
  FhProfile profile;
  Eigen::VectorXd z1, z2, theta, y_star, mu_star;
};

struct Problem {
  const Eigen::Ref<const Eigen::MatrixXd>& X;
  const Eigen::Ref<const Eigen::VectorXd>& D;
  const Eigen::VectorXd& mu;      // X beta_hat
  const Eigen::VectorXd& sqrt_d;  // sqrt(D)
  double sigma_u;
  double log_sigma0;
};

// One replicate: writes (pred* - theta*)^2 into `error`.
void run_replicate(const Problem& pb, random::Key key, Workspace& ws,
                   Eigen::Ref<Eigen::VectorXd> error) {
  const auto [k1, k2] = random::split2(key);
  random::normal(k1, std::span<double>(ws.z1.data(), static_cast<std::size_t>(ws.z1.size())));
  random::normal(k2, std::span<double>(ws.z2.data(), static_cast<std::size_t>(ws.z2.size())));
  ws.theta = pb.mu + pb.sigma_u * ws.z1;
  ws.y_star = ws.theta + pb.sqrt_d.cwiseProduct(ws.z2);

  const internal::FhFitCore fit =
      internal::fit_profile(ws.profile, ws.y_star, pb.log_sigma0, {.tol = 1e-4, .max_iter = 100});
  // The coefficients at the (clipped) solution; the minimiser's last
  // evaluation is usually already there.
  if (!(ws.profile.last_log_sigma() == fit.log_sigma)) {
    ws.profile.evaluate(fit.log_sigma, ws.y_star, 0);
  }
  const double sigma2 = std::exp(2.0 * fit.log_sigma);
  ws.mu_star.noalias() = pb.X * ws.profile.beta();
  for (Eigen::Index a = 0; a < error.size(); ++a) {
    const double pred = eblup(eblup_gamma(sigma2, pb.D(a)), ws.y_star(a), ws.mu_star(a));
    const double diff = pred - ws.theta(a);
    error(a) = diff * diff;
  }
}

void validate(const Eigen::Ref<const Eigen::MatrixXd>& X,
              const Eigen::Ref<const Eigen::VectorXd>& D,
              const Eigen::Ref<const Eigen::VectorXd>& beta_hat, double sigma_u, std::int64_t B,
              std::int64_t batch_size) {
  const std::string where = "mse_bootstrap_area_fh: ";
  if (B < 1) throw std::invalid_argument(where + "B must be at least 1, got " + std::to_string(B));
  if (B > kMaxReplicates) {
    throw std::invalid_argument(where + "B must be at most 4294967296 (the replicate keys of one " +
                                "seed), got " + std::to_string(B) + "; lower the number of " +
                                "replicates");
  }
  if (batch_size < 1) {
    throw std::invalid_argument(where + "batch_size must be at least 1, got " +
                                std::to_string(batch_size));
  }
  if (D.size() != X.rows()) {
    throw std::invalid_argument(where + "D has " + std::to_string(D.size()) +
                                " entries but X has " + std::to_string(X.rows()) + " rows");
  }
  if (beta_hat.size() != X.cols()) {
    throw std::invalid_argument(where + "beta_hat has " + std::to_string(beta_hat.size()) +
                                " entries but X has " + std::to_string(X.cols()) + " columns");
  }
  if (X.cols() < 1) throw std::invalid_argument(where + "X must have at least one column");
  if (!(D.array() >= 0.0).all() || !D.allFinite()) {
    throw std::invalid_argument(where + "D must be non-negative and finite");
  }
  if (!(sigma_u > 0.0) || !std::isfinite(sigma_u)) {
    throw std::invalid_argument(where + "sigma_u must be positive and finite, got " +
                                std::to_string(sigma_u));
  }
}

}  // namespace

Eigen::VectorXd mse_bootstrap_area_fh(const Eigen::Ref<const Eigen::MatrixXd>& X,
                                      const Eigen::Ref<const Eigen::VectorXd>& D,
                                      const Eigen::Ref<const Eigen::VectorXd>& beta_hat,
                                      double sigma_u, VarianceMethod method, std::int64_t B,
                                      random::Key rng_key, const BootstrapAreaOptions& options) {
  validate(X, D, beta_hat, sigma_u, B, options.batch_size);
  const FhCriterion criterion =
      method == VarianceMethod::REML ? FhCriterion::kReml : FhCriterion::kMl;
  const std::int64_t bs = options.batch_size;
  const std::int64_t n_batches = (B - 1) / bs + 1;
  const Eigen::Index n = X.rows();

  const Eigen::VectorXd mu = X * beta_hat;
  const Eigen::VectorXd sqrt_d = D.cwiseSqrt();
  const Problem problem{X, D, mu, sqrt_d, sigma_u, std::log(sigma_u)};

  // This process runs the replicates of its batches (all of them without a
  // share). They are evaluated in parallel passes of at most kPassReplicates;
  // their keys and error vectors (one column per replicate) live only for the
  // pass. Sums go replicate by replicate into the batch sum and batch by
  // batch into the total, whatever the pass boundaries; each batch sum is a
  // row of the share.
  SingleProcessShare single;
  ReplicateShare& share = share_or_single(options.share, single);
  const BatchRange mine = share.begin(n_batches);
  const std::int64_t rep_first = mine.first * bs;
  const std::int64_t rep_end = std::min(mine.end * bs, B);
  const auto pass_capacity =
      static_cast<Eigen::Index>(std::clamp<std::int64_t>(rep_end - rep_first, 1, kPassReplicates));
  Eigen::MatrixXd errors(n, pass_capacity);
  std::vector<random::Key> keys(static_cast<std::size_t>(pass_capacity));
  std::vector<std::optional<Workspace>> workspaces(
      static_cast<std::size_t>(std::max(1, omp_get_max_threads())));

  Eigen::VectorXd total = Eigen::VectorXd::Zero(n);
  Eigen::VectorXd batch_sum = Eigen::VectorXd::Zero(n);
  const auto row = [](const Eigen::VectorXd& v) {
    return std::span<const double>(v.data(), static_cast<std::size_t>(v.size()));
  };
  for (std::int64_t pass_first = rep_first; pass_first < rep_end; pass_first += pass_capacity) {
    const auto count =
        static_cast<Eigen::Index>(std::min<std::int64_t>(pass_capacity, rep_end - pass_first));
    random::split(rng_key, static_cast<std::uint64_t>(pass_first),
                  std::span<random::Key>(keys.data(), static_cast<std::size_t>(count)));
    internal::ParallelFailure failure;
#pragma omp parallel for schedule(static)
    for (Eigen::Index j = 0; j < count; ++j) {
      failure.run([&] {
        std::optional<Workspace>& ws = workspaces[static_cast<std::size_t>(omp_get_thread_num())];
        if (!ws) ws.emplace(X, D, criterion);
        run_replicate(problem, keys[static_cast<std::size_t>(j)], *ws, errors.col(j));
      });
    }
    failure.rethrow();
    for (Eigen::Index j = 0; j < count; ++j) {
      batch_sum += errors.col(j);
      const std::int64_t r = pass_first + j + 1;  // replicates finished
      if (r % bs == 0 || r == B) {
        total += batch_sum;
        share.add(row(batch_sum));
        batch_sum.setZero();
        share.batch_done(options.on_progress);
      }
    }
  }
  share.finish(std::span<double>(total.data(), static_cast<std::size_t>(n)), 0,
               options.on_progress);
  return total / static_cast<double>(B);
}

}  // namespace kelp_sae::kernels
