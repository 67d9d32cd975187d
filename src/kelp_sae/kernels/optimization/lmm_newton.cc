#include "kelp_sae/kernels/optimization/lmm_newton.h"

#include <omp.h>
#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <string>

#include "kelp_sae/kernels/optimization/internal/nested_error_objective.h"
#include "kelp_sae/kernels/optimization/internal/parallel_failure.h"

namespace kelp_sae::kernels {
namespace {

using internal::Dual2;

constexpr double kThetaBound = 10.0;
constexpr double kHessianRidge = 1e-3;
constexpr double kStepFloor = 1e-6;

// The refit's regularisation, stated for a replicate on a standardised
// response: an absolute floor in the weight denominator ve (ve + n vu) and an
// absolute ridge on X'V^-1X.
constexpr internal::NestedErrorGuards kNewtonGuards{.factor_floor = 1e-10, .ridge = 1e-6};

using Workspace = internal::NestedErrorWorkspace;

// theta_k clipped to [-10, 10] as variable k, or as a constant outside.
Dual2 clipped_variable(double t, int which) {
  if (t < -kThetaBound) return Dual2::constant(-kThetaBound);
  if (t > kThetaBound) return Dual2::constant(kThetaBound);
  return Dual2::variable(t, which);
}

// The objective -log L over Dual2; with beta_out, also beta at theta.
Dual2 evaluate(const Eigen::Vector2d& theta, const DesignStats& d, const NewtonReplicateStats& rep,
               Workspace& ws, double* beta_out) {
  const internal::GroupedNestedErrorStats s{d.Xt_X,        rep.Xt_y,   rep.yy,       d.group_n,
                                            d.group_count, d.group_XX, rep.group_Xy, rep.group_yy};
  const Dual2 f =
      internal::nested_error_objective(clipped_variable(theta(0), 0), clipped_variable(theta(1), 1),
                                       s, VarianceMethod::REML, kNewtonGuards, ws);
  if (beta_out != nullptr) {
    for (std::size_t i = 0; i < ws.z.size(); ++i) beta_out[i] = ws.z[i].v;
  }
  return 0.5 * f;
}

// delta = (H + 0.001 I)^-1 g.
Eigen::Vector2d newton_delta(const Dual2& f) {
  const double h00 = f.h00 + kHessianRidge;
  const double h11 = f.h11 + kHessianRidge;
  const double det = h00 * h11 - f.h01 * f.h01;
  return {(h11 * f.g0 - f.h01 * f.g1) / det, (h00 * f.g1 - f.h01 * f.g0) / det};
}

}  // namespace

DesignStats precompute_design_stats(const SampleDesign& sample) {
  validate_sample_design(sample, "precompute_design_stats", /*require_constant=*/false);
  const Eigen::Index v_areas = sample.n_areas();
  const Eigen::Index p = sample.X.cols();
  DesignStats d;
  d.Xt_X = Eigen::MatrixXd::Zero(p, p);
  d.Xt_X.selfadjointView<Eigen::Lower>().rankUpdate(sample.X.transpose());
  d.Xt_X = d.Xt_X.selfadjointView<Eigen::Lower>();
  d.sum_X.resize(v_areas, p);
  d.n_i.resize(v_areas);
  std::map<Eigen::Index, int> sizes;  // size -> group, ascending
  for (Eigen::Index v = 0; v < v_areas; ++v) {
    const Eigen::Index begin = sample.offsets[static_cast<std::size_t>(v)];
    const Eigen::Index count = sample.n_units(v);
    d.sum_X.row(v) = sample.X.middleRows(begin, count).colwise().sum();
    d.n_i(v) = static_cast<double>(count);
    if (count > 0) sizes.emplace(count, 0);
  }
  const auto k_groups = static_cast<Eigen::Index>(sizes.size());
  d.group_n.resize(k_groups);
  d.group_count = Eigen::VectorXd::Zero(k_groups);
  int g = 0;
  for (auto& [size, group] : sizes) {
    group = g;
    d.group_n(g) = static_cast<double>(size);
    ++g;
  }
  d.group_XX = Eigen::MatrixXd::Zero(p, k_groups * p);
  d.area_group.assign(static_cast<std::size_t>(v_areas), -1);
  for (Eigen::Index v = 0; v < v_areas; ++v) {
    if (d.n_i(v) == 0.0) continue;
    const int group = sizes.at(sample.n_units(v));
    d.area_group[static_cast<std::size_t>(v)] = group;
    d.group_count(group) += 1.0;
    d.group_XX.middleCols(group * p, p) += d.sum_X.row(v).transpose() * d.sum_X.row(v);
  }
  return d;
}

void standardize_replicate_stats(const SampleDesign& sample, const DesignStats& design, double mean,
                                 double scale, Eigen::Ref<Eigen::VectorXd> y,
                                 Eigen::Ref<Eigen::VectorXd> sum_y,
                                 Eigen::Ref<Eigen::VectorXd> Xt_y, NewtonReplicateStats& out) {
  double yy = 0.0;
  for (Eigen::Index v = 0; v < sample.n_areas(); ++v) {
    double sum = 0.0;
    const auto v_slot = static_cast<std::size_t>(v);
    for (Eigen::Index j = sample.offsets[v_slot]; j < sample.offsets[v_slot + 1]; ++j) {
      const double ys = (y(j) - mean) * scale;
      y(j) = ys;
      sum += ys;
      yy += ys * ys;
    }
    sum_y(v) = sum;
  }
  Xt_y.noalias() = sample.X.transpose() * y;
  group_replicate_stats(design, Xt_y, sum_y, yy, out);
}

void group_replicate_stats(const DesignStats& design, const Eigen::Ref<const Eigen::VectorXd>& Xt_y,
                           const Eigen::Ref<const Eigen::VectorXd>& sum_y, double yy,
                           NewtonReplicateStats& out) {
  const Eigen::Index p = design.Xt_X.rows();
  const Eigen::Index k_groups = design.group_n.size();
  if (Xt_y.size() != p || sum_y.size() != design.sum_X.rows()) {
    throw std::invalid_argument(
        "group_replicate_stats: Xt_y must have p entries and sum_y one entry per area");
  }
  out.Xt_y = Xt_y;
  out.yy = yy;
  out.group_yy.setZero(k_groups);
  out.group_Xy.setZero(p, k_groups);
  for (Eigen::Index v = 0; v < sum_y.size(); ++v) {
    const int g = design.area_group[static_cast<std::size_t>(v)];
    if (g < 0) continue;
    out.group_yy(g) += sum_y(v) * sum_y(v);
    out.group_Xy.col(g) += design.sum_X.row(v).transpose() * sum_y(v);
  }
}

LmmObjective newton_reml_objective(const Eigen::Ref<const Eigen::Vector2d>& theta,
                                   const DesignStats& design, const NewtonReplicateStats& rep) {
  Workspace ws(design.Xt_X.rows());
  const Dual2 f = evaluate(theta, design, rep, ws, nullptr);
  LmmObjective o;
  o.value = f.v;
  o.gradient << f.g0, f.g1;
  o.hessian << f.h00, f.h01, f.h01, f.h11;
  return o;
}

Eigen::VectorXd newton_reml_beta(const Eigen::Ref<const Eigen::Vector2d>& theta,
                                 const DesignStats& design, const NewtonReplicateStats& rep) {
  const Eigen::Index p = design.Xt_X.rows();
  Workspace ws(p);
  Eigen::VectorXd beta(p);
  evaluate(theta, design, rep, ws, beta.data());
  return beta;
}

namespace {

// Fewer replicates than this in a lone batch are not worth a parallel region.
constexpr Eigen::Index kMinParallelReplicates = 16;

// Runs the steps of the batch [start, start + len) with one thread.
void iterate_batch_serial(const DesignStats& design, std::span<const NewtonReplicateStats> reps,
                          Eigen::Ref<Eigen::MatrixXd> theta, Eigen::Ref<Eigen::MatrixXd> delta,
                          Eigen::Index start, Eigen::Index len, int max_iter, Workspace& ws) {
  for (int it = 0; it < max_iter; ++it) {
    double max_abs = 0.0;
    for (Eigen::Index r = start; r < start + len; ++r) {
      const Eigen::Vector2d t = theta.row(r).transpose();
      const Eigen::Vector2d dr =
          newton_delta(evaluate(t, design, reps[static_cast<std::size_t>(r)], ws, nullptr));
      delta.row(r) = dr.transpose();
      for (int c = 0; c < 2; ++c) {
        if (std::abs(dr(c)) > max_abs)
          max_abs = std::abs(dr(c));  // a NaN delta does not set the step
      }
    }
    const double step = std::min(1.0, 1.0 / (max_abs + kStepFloor));
    theta.middleRows(start, len) -= step * delta.middleRows(start, len);
  }
}

}  // namespace

void newton_reml_iterate(const DesignStats& design, std::span<const NewtonReplicateStats> reps,
                         Eigen::Ref<Eigen::MatrixXd> theta, Eigen::Index batch_size, int max_iter) {
  const auto r_count = static_cast<Eigen::Index>(reps.size());
  if (theta.rows() != r_count || theta.cols() != 2) {
    throw std::invalid_argument(
        "newton_reml_iterate: theta must have one row of two entries per replicate");
  }
  if (batch_size < 1)
    throw std::invalid_argument("newton_reml_iterate: batch_size must be at least 1");
  if (r_count == 0) return;
  const Eigen::Index p = design.Xt_X.rows();
  const Eigen::Index n_batches = (r_count + batch_size - 1) / batch_size;
  Eigen::MatrixXd delta(r_count, 2);

  // Every batch follows the same arithmetic whichever thread runs it, and a
  // batch's step size is reduced in replicate order, so the schedule below
  // never changes the results.
  if (omp_in_parallel() || omp_get_max_threads() == 1 || n_batches >= 2) {
    // Whole batches per thread: no synchronisation between Newton steps.
    std::vector<Workspace> workspaces(
        static_cast<std::size_t>(omp_in_parallel() ? 1 : omp_get_max_threads()), Workspace(p));
    internal::ParallelFailure failure;
#pragma omp parallel for schedule(dynamic, 1) if (!omp_in_parallel() && n_batches >= 2)
    for (Eigen::Index b = 0; b < n_batches; ++b) {
      failure.run([&] {
        const Eigen::Index start = b * batch_size;
        const Eigen::Index len = std::min(batch_size, r_count - start);
        Workspace& ws =
            workspaces[static_cast<std::size_t>(omp_in_parallel() ? omp_get_thread_num() : 0)];
        iterate_batch_serial(design, reps, theta, delta, start, len, max_iter, ws);
      });
    }
    failure.rethrow();
    return;
  }

  // One batch: its replicates in parallel, the step size reduced serially.
  std::vector<Workspace> workspaces(static_cast<std::size_t>(omp_get_max_threads()), Workspace(p));
  const bool parallel = r_count >= kMinParallelReplicates;
  internal::ParallelFailure failure;
  for (int it = 0; it < max_iter; ++it) {
#pragma omp parallel if (parallel)
    {
      Workspace& ws = workspaces[static_cast<std::size_t>(omp_get_thread_num())];
#pragma omp for schedule(static)
      for (Eigen::Index r = 0; r < r_count; ++r) {
        failure.run([&] {
          const Eigen::Vector2d t = theta.row(r).transpose();
          delta.row(r) =
              newton_delta(evaluate(t, design, reps[static_cast<std::size_t>(r)], ws, nullptr))
                  .transpose();
        });
      }
    }
    failure.rethrow();
    double max_abs = 0.0;
    for (Eigen::Index r = 0; r < r_count; ++r) {
      for (int c = 0; c < 2; ++c) {
        if (std::abs(delta(r, c)) > max_abs) max_abs = std::abs(delta(r, c));
      }
    }
    const double step = std::min(1.0, 1.0 / (max_abs + kStepFloor));
    theta -= step * delta;
  }
}

NewtonBatchFit fit_lmm_reml_newton_batched(const Eigen::Ref<const Eigen::MatrixXd>& init_params,
                                           const Eigen::Ref<const Eigen::MatrixXd>& Xt_y,
                                           const DesignStats& design,
                                           const Eigen::Ref<const Eigen::MatrixXd>& sum_y,
                                           const Eigen::Ref<const Eigen::VectorXd>& yy,
                                           const NewtonFitOptions& options) {
  const Eigen::Index b_count = init_params.rows();
  const Eigen::Index p = design.Xt_X.rows();
  if (init_params.cols() != 2 || Xt_y.rows() != b_count || Xt_y.cols() != p ||
      sum_y.rows() != b_count || sum_y.cols() != design.sum_X.rows() || yy.size() != b_count) {
    throw std::invalid_argument(
        "fit_lmm_reml_newton_batched: expected init_params B x 2, Xt_y B x p, sum_y B x V and yy "
        "of length B");
  }
  std::vector<NewtonReplicateStats> reps(static_cast<std::size_t>(b_count));
  for (Eigen::Index r = 0; r < b_count; ++r) {
    group_replicate_stats(design, Xt_y.row(r).transpose(), sum_y.row(r).transpose(), yy(r),
                          reps[static_cast<std::size_t>(r)]);
  }
  Eigen::MatrixXd theta = init_params;
  newton_reml_iterate(design, reps, theta, std::max<Eigen::Index>(b_count, 1), options.max_iter);
  NewtonBatchFit out;
  out.beta.resize(b_count, p);
  out.sigma_e = theta.col(0).array().exp();
  out.sigma_u = theta.col(1).array().exp();
  for (Eigen::Index r = 0; r < b_count; ++r) {
    out.beta.row(r) =
        newton_reml_beta(theta.row(r).transpose(), design, reps[static_cast<std::size_t>(r)])
            .transpose();
  }
  return out;
}

}  // namespace kelp_sae::kernels
