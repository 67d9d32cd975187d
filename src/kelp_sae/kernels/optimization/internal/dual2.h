// Second-order forward-mode dual numbers in two variables.
//
// A Dual2 carries a value with its gradient and Hessian with respect to two
// independent variables (t0, t1). Arithmetic propagates all of them exactly,
// so a function written once over Dual2 yields its value, gradient and
// Hessian in one pass:
//
//   Dual2 a = Dual2::variable(0.3, 0), b = Dual2::variable(-1.2, 1);
//   Dual2 f = log(exp(2.0 * a) + exp(2.0 * b));
//   // f.v, (f.g0, f.g1), (f.h00, f.h01, f.h11)
//
// Used by the nested-error likelihood kernels, whose objective is a small
// closed form in (log sigma_e, log sigma_u) once the sufficient statistics
// are formed.
#pragma once

#include <cmath>

namespace kelp_sae::kernels::internal {

struct Dual2 {
  double v = 0.0;
  double g0 = 0.0;
  double g1 = 0.0;
  double h00 = 0.0;
  double h01 = 0.0;
  double h11 = 0.0;

  static Dual2 constant(double x) { return {x, 0.0, 0.0, 0.0, 0.0, 0.0}; }
  // The independent variable number `which` (0 or 1) at value x.
  static Dual2 variable(double x, int which) {
    return which == 0 ? Dual2{x, 1.0, 0.0, 0.0, 0.0, 0.0} : Dual2{x, 0.0, 1.0, 0.0, 0.0, 0.0};
  }

  Dual2& operator+=(const Dual2& b) {
    v += b.v;
    g0 += b.g0;
    g1 += b.g1;
    h00 += b.h00;
    h01 += b.h01;
    h11 += b.h11;
    return *this;
  }
  Dual2& operator-=(const Dual2& b) {
    v -= b.v;
    g0 -= b.g0;
    g1 -= b.g1;
    h00 -= b.h00;
    h01 -= b.h01;
    h11 -= b.h11;
    return *this;
  }
  Dual2& operator*=(double s) {
    v *= s;
    g0 *= s;
    g1 *= s;
    h00 *= s;
    h01 *= s;
    h11 *= s;
    return *this;
  }
  // *this += s * b for a plain number s.
  void add_scaled(double s, const Dual2& b) {
    v += s * b.v;
    g0 += s * b.g0;
    g1 += s * b.g1;
    h00 += s * b.h00;
    h01 += s * b.h01;
    h11 += s * b.h11;
  }
};

inline Dual2 operator+(Dual2 a, const Dual2& b) { return a += b; }
inline Dual2 operator-(Dual2 a, const Dual2& b) { return a -= b; }
inline Dual2 operator-(const Dual2& a) { return {-a.v, -a.g0, -a.g1, -a.h00, -a.h01, -a.h11}; }
inline Dual2 operator*(double s, Dual2 a) { return a *= s; }
inline Dual2 operator*(Dual2 a, double s) { return a *= s; }
inline Dual2 operator+(Dual2 a, double s) {
  a.v += s;
  return a;
}
inline Dual2 operator-(Dual2 a, double s) {
  a.v -= s;
  return a;
}

inline Dual2 operator*(const Dual2& a, const Dual2& b) {
  return {a.v * b.v,
          a.v * b.g0 + a.g0 * b.v,
          a.v * b.g1 + a.g1 * b.v,
          a.v * b.h00 + 2.0 * a.g0 * b.g0 + a.h00 * b.v,
          a.v * b.h01 + a.g0 * b.g1 + a.g1 * b.g0 + a.h01 * b.v,
          a.v * b.h11 + 2.0 * a.g1 * b.g1 + a.h11 * b.v};
}

// f(a) from f, f' and f'' at a.v (second-order chain rule).
inline Dual2 chain(const Dual2& a, double f, double f1, double f2) {
  return {f,
          f1 * a.g0,
          f1 * a.g1,
          f1 * a.h00 + f2 * a.g0 * a.g0,
          f1 * a.h01 + f2 * a.g0 * a.g1,
          f1 * a.h11 + f2 * a.g1 * a.g1};
}

inline Dual2 log(const Dual2& a) { return chain(a, std::log(a.v), 1.0 / a.v, -1.0 / (a.v * a.v)); }
inline Dual2 exp(const Dual2& a) {
  const double e = std::exp(a.v);
  return chain(a, e, e, e);
}
inline Dual2 sqrt(const Dual2& a) {
  const double s = std::sqrt(a.v);
  return chain(a, s, 0.5 / s, -0.25 / (s * a.v));
}
inline Dual2 reciprocal(const Dual2& a) {
  const double r = 1.0 / a.v;
  return chain(a, r, -r * r, 2.0 * r * r * r);
}
inline Dual2 operator/(const Dual2& a, const Dual2& b) { return a * reciprocal(b); }
inline Dual2 operator/(Dual2 a, double s) { return a *= 1.0 / s; }

}  // namespace kelp_sae::kernels::internal
