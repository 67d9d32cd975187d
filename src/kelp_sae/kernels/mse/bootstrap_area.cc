#include "kelp_sae/kernels/mse/bootstrap_area.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <iostream>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelp_sae/core/progress.h"
#include "kelp_sae/kernels/optimization/internal/fh_profile.h"

namespace kelp_sae::kernels {
namespace {

using internal::FhCriterion;
using internal::FhProfile;

// Small batches are grouped so that one parallel pass has at least this
// many replicates to share among the threads.
constexpr int kMinReplicatesPerPass = 64;

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
    const double gamma = sigma2 / (sigma2 + pb.D(a));
    const double pred = gamma * ws.y_star(a) + (1.0 - gamma) * ws.mu_star(a);
    const double diff = pred - ws.theta(a);
    error(a) = diff * diff;
  }
}

void validate(const Eigen::Ref<const Eigen::MatrixXd>& X,
              const Eigen::Ref<const Eigen::VectorXd>& D,
              const Eigen::Ref<const Eigen::VectorXd>& beta_hat, double sigma_u, int B,
              int batch_size) {
  const std::string where = "mse_bootstrap_area_fh: ";
  if (B < 1) throw std::invalid_argument(where + "B must be at least 1, got " + std::to_string(B));
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
                                      double sigma_u, std::string_view method, int B,
                                      random::Key rng_key, const BootstrapAreaOptions& options) {
  validate(X, D, beta_hat, sigma_u, B, options.batch_size);
  const FhCriterion criterion = method == "REML" ? FhCriterion::kReml : FhCriterion::kMl;
  const int bs = options.batch_size;
  const int n_batches = (B + bs - 1) / bs;
  const int pad_len = (bs - B % bs) % bs;
  const Eigen::Index n = X.rows();

  const std::vector<random::Key> keys = random::split(rng_key, static_cast<std::size_t>(B));
  const Eigen::VectorXd mu = X * beta_hat;
  const Eigen::VectorXd sqrt_d = D.cwiseSqrt();
  const Problem problem{X, D, mu, sqrt_d, sigma_u, std::log(sigma_u)};

  // Batches per parallel pass, and the error vectors of one pass (one column
  // per replicate).
  const int batches_per_pass = std::max(1, (kMinReplicatesPerPass + bs - 1) / bs);
  const int pass_capacity =
      static_cast<int>(std::min<long>(static_cast<long>(batches_per_pass) * bs, B));
  Eigen::MatrixXd errors(n, pass_capacity);
  std::vector<std::optional<Workspace>> workspaces(
      static_cast<std::size_t>(std::max(1, omp_get_max_threads())));

  Eigen::VectorXd total = Eigen::VectorXd::Zero(n);
  Eigen::VectorXd batch_sum(n);
  std::ostream& out = options.out != nullptr ? *options.out : std::cout;
  const int line_every = std::max(1, n_batches / 10);

  ProgressIterator progress({.n_batches = static_cast<std::size_t>(n_batches),
                             .batch_size = static_cast<std::size_t>(bs),
                             .n_reps = static_cast<std::size_t>(B),
                             .enabled = options.progress_bar,
                             .use_bar = true,
                             .msg = {.desc = "Bootstrap FH", .fallback = "Bootstrap FH"},
                             .out = options.out});
  int pass_first = 0;  // first replicate of the current pass
  for (const std::size_t batch : progress) {
    const int i = static_cast<int>(batch);
    if (i % batches_per_pass == 0) {
      // Real replicates of batches i .. i + batches_per_pass - 1; the padding
      // keys of the last batch are never evaluated.
      pass_first = i * bs;
      const int pass_end = std::min(B, (i + batches_per_pass) * bs);
      const int count = pass_end - pass_first;
      std::exception_ptr failure;
#pragma omp parallel for schedule(static)
      for (int j = 0; j < count; ++j) {
        try {
          std::optional<Workspace>& ws = workspaces[static_cast<std::size_t>(omp_get_thread_num())];
          if (!ws) ws.emplace(X, D, criterion);
          run_replicate(problem, keys[static_cast<std::size_t>(pass_first + j)], *ws,
                        errors.col(j));
        } catch (...) {
#pragma omp critical(kelp_sae_bootstrap_area_failure)
          if (!failure) failure = std::current_exception();
        }
      }
      if (failure) std::rethrow_exception(failure);
    }
    const int first = i * bs - pass_first;
    const int count = (i == n_batches - 1 && pad_len > 0) ? bs - pad_len : bs;
    batch_sum.setZero();
    for (int j = 0; j < count; ++j) batch_sum += errors.col(first + j);
    total += batch_sum;
    if (!options.progress_bar && (i + 1) % line_every == 0) {
      out << "  Batch " << (i + 1) << "/" << n_batches << " completed." << std::endl;
    }
  }
  return total / static_cast<double>(B);
}

}  // namespace kelp_sae::kernels
