// Coefficients of the inverse normal distribution function (Wichura's
// AS 241, PPND16) and of the logarithm its tails need (fdlibm's e_log.c).
//
// Both the one-by-one path (keys.cc) and the vectorised block kernels
// (draw_blocks.cc) evaluate these polynomials by Horner's rule with fused
// multiply-adds in exactly the same order, so that a draw has the same bits
// whichever path made it.
#pragma once

#include <cstddef>

namespace kelp_sae::random::internal {

// Polynomials are stored highest degree first: p(x) = c[0] x^(N-1) + ... +
// c[N-1].

// Central region |q| <= 0.425, q = u - 1/2: z = q num(r) / den(r) with r =
// 0.180625 - q^2.
inline constexpr double kCentralSplit = 0.425;
inline constexpr double kCentralShift = 0.180625;
inline constexpr double kCentralNumerator[8] = {2.5090809287301226727e+3, 3.3430575583588128105e+4,
                                                6.7265770927008700853e+4, 4.5921953931549871457e+4,
                                                1.3731693765509461125e+4, 1.9715909503065514427e+3,
                                                1.3314166789178437745e+2, 3.3871328727963666080e+0};
inline constexpr double kCentralDenominator[8] = {
    5.2264952788528545610e+3, 2.8729085735721942674e+4,
    3.9307895800092710610e+4, 2.1213794301586595867e+4,
    5.3941960214247511077e+3, 6.8718700749205790830e+2,
    4.2313330701600911252e+1, 1.0};

// Tails, in t = sqrt(-log r) with r = min(u, 1 - u): |z| = num(t - 1.6) /
// den(t - 1.6) for t <= 5 (r >= 1.4e-11) ...
inline constexpr double kNearTailShift = 1.6;
inline constexpr double kNearTailNumerator[8] = {
    7.74545014278341407640e-4, 2.27238449892691845833e-2, 2.41780725177450611770e-1,
    1.27045825245236838258e+0, 3.64784832476320460504e+0, 5.76949722146069140550e+0,
    4.63033784615654529590e+0, 1.42343711074968357734e+0};
inline constexpr double kNearTailDenominator[8] = {
    1.05075007164441684324e-9, 5.47593808499534494600e-4,
    1.51986665636164571966e-2, 1.48103976427480074590e-1,
    6.89767334985100004550e-1, 1.67638483018380384940e+0,
    2.05319162663775882187e+0, 1.0};

// ... and num(t - 5) / den(t - 5) beyond.
inline constexpr double kFarTailStart = 5.0;
inline constexpr double kFarTailNumerator[8] = {
    2.01033439929228813265e-7, 2.71155556874348757815e-5, 1.24266094738807843860e-3,
    2.65321895265761230930e-2, 2.96560571828504891230e-1, 1.78482653991729133580e+0,
    5.46378491116411436990e+0, 6.65790464350110377720e+0};
inline constexpr double kFarTailDenominator[8] = {
    2.04426310338993978564e-15, 1.42151175831644588870e-7,
    1.84631831751005468180e-5,  7.86869131145613259100e-4,
    1.48753612908506148525e-2,  1.36929880922735805310e-1,
    5.99832206555887937690e-1,  1.0};

// log m = 2 atanh(s) for m in [sqrt(2)/2, sqrt(2)), s = (m - 1)/(m + 1):
// minimax polynomials in w = s^4 (fdlibm's Lg1 .. Lg7, split into the odd
// and even terms).
inline constexpr double kLogOdd[4] = {1.479819860511658591e-01, 1.818357216161805012e-01,
                                      2.857142874366239149e-01, 6.666666666666735130e-01};
inline constexpr double kLogEven[3] = {1.531383769920937332e-01, 2.222219843214978396e-01,
                                       3.999999999940941908e-01};
inline constexpr double kLn2High = 6.93147180369123816490e-01;
inline constexpr double kLn2Low = 1.90821492927058770002e-10;

}  // namespace kelp_sae::random::internal
