// Dense linear algebra over Dual2 for the small p x p systems of the
// nested-error likelihood: a Cholesky factorisation and solves, with exact
// first and second derivatives carried through.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "kelp_sae/kernels/optimization/internal/dual2.h"

namespace kelp_sae::kernels::internal {

// Square matrix of Dual2, column-major. Only the lower triangle is read by
// the factorisation.
class DualMatrix {
 public:
  DualMatrix() = default;
  explicit DualMatrix(std::ptrdiff_t n) : n_(n), data_(static_cast<std::size_t>(n * n)) {}
  void resize(std::ptrdiff_t n) {
    n_ = n;
    data_.assign(static_cast<std::size_t>(n * n), Dual2{});
  }
  std::ptrdiff_t size() const { return n_; }
  Dual2& operator()(std::ptrdiff_t i, std::ptrdiff_t j) {
    return data_[static_cast<std::size_t>(i + j * n_)];
  }
  const Dual2& operator()(std::ptrdiff_t i, std::ptrdiff_t j) const {
    return data_[static_cast<std::size_t>(i + j * n_)];
  }

 private:
  std::ptrdiff_t n_ = 0;
  std::vector<Dual2> data_;
};

// Overwrites the lower triangle of `a` with its lower Cholesky factor L
// (a = L L'). Returns false when a pivot is not positive and finite; `a` is
// then left partly factorised.
inline bool cholesky_in_place(DualMatrix& a) {
  const std::ptrdiff_t n = a.size();
  for (std::ptrdiff_t j = 0; j < n; ++j) {
    Dual2 d = a(j, j);
    for (std::ptrdiff_t k = 0; k < j; ++k) d -= a(j, k) * a(j, k);
    if (!(d.v > 0.0) || !std::isfinite(d.v)) return false;
    const Dual2 ljj = sqrt(d);
    a(j, j) = ljj;
    const Dual2 inv = reciprocal(ljj);
    for (std::ptrdiff_t i = j + 1; i < n; ++i) {
      Dual2 s = a(i, j);
      for (std::ptrdiff_t k = 0; k < j; ++k) s -= a(i, k) * a(j, k);
      a(i, j) = s * inv;
    }
  }
  return true;
}

// Solves (L L') x = b in place, L the lower factor from cholesky_in_place.
inline void cholesky_solve_in_place(const DualMatrix& l, std::vector<Dual2>& b) {
  const std::ptrdiff_t n = l.size();
  for (std::ptrdiff_t i = 0; i < n; ++i) {
    Dual2 s = b[static_cast<std::size_t>(i)];
    for (std::ptrdiff_t k = 0; k < i; ++k) s -= l(i, k) * b[static_cast<std::size_t>(k)];
    b[static_cast<std::size_t>(i)] = s / l(i, i);
  }
  for (std::ptrdiff_t i = n - 1; i >= 0; --i) {
    Dual2 s = b[static_cast<std::size_t>(i)];
    for (std::ptrdiff_t k = i + 1; k < n; ++k) s -= l(k, i) * b[static_cast<std::size_t>(k)];
    b[static_cast<std::size_t>(i)] = s / l(i, i);
  }
}

// log|L L'| = 2 sum_k log L_kk.
inline Dual2 log_det_from_cholesky(const DualMatrix& l) {
  Dual2 s;
  for (std::ptrdiff_t k = 0; k < l.size(); ++k) s += log(l(k, k));
  return 2.0 * s;
}

// A Dual2 with every component NaN: the value of an objective that is not
// defined at the given parameters.
inline Dual2 dual_nan() {
  const double nan = std::nan("");
  return {nan, nan, nan, nan, nan, nan};
}

}  // namespace kelp_sae::kernels::internal
