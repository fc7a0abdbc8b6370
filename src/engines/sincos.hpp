// dsp_sincos: the sine and cosine of an angle in radians, in double precision, with its own range
// reduction and truncated Taylor polynomials (no library call), so that every filter, transform
// table and resonator that derives coefficients from it gets the same bits on every platform.
//
//   1. a = |x|; a non-finite angle gives NaN for both. Angles of 2*pi or more are reduced by
//      subtracting the largest 2*pi * 2^k not above them, repeatedly, until below 2*pi; the sign
//      comes back and a negative angle gets 2*pi added.
//   2. The quadrant folds the angle into 0 .. pi/2 and sets the signs.
//   3. Horner's rule on u = t^2 for both series.
#pragma once

#include <cmath>

namespace sonolith {

struct SinCos {
    double sin, cos;
};

namespace detail {

inline SinCos sincos_poly(double t) noexcept {
    const double u = t * t;
    const double c =
        1.0 + u * (-0.5 + u * (0.041666666666666664 +
                               u * (-0.001388888888888889 +
                                    u * (2.48015873015873e-5 +
                                         u * (-2.755731922398589e-7 + u * 2.08767569878681e-9)))));
    const double s =
        t * (1.0 + u * (-0.16666666666666666 +
                        u * (0.008333333333333333 +
                             u * (-0.0001984126984126984 +
                                  u * (2.7557319223985893e-6 +
                                       u * (-2.505210838544172e-8 + u * 1.6059043836821613e-10))))));
    return {s, c};
}

}  // namespace detail

inline SinCos dsp_sincos(double x) noexcept {
    constexpr double kTwoPi = 6.283185307179586;
    double a = std::fabs(x);
    if (!std::isfinite(a)) {
        const double nan = x - x;
        return {nan, nan};
    }
    if (a >= kTwoPi) {
        double c = kTwoPi;
        while (a >= 2.0 * c) c *= 2.0;
        do {
            while (c > a) c *= 0.5;
            a = a - c;
        } while (a >= kTwoPi);
    }
    double angle = x < 0.0 ? -a : a;
    if (angle < 0.0) angle += kTwoPi;
    if (angle <= 1.5707963267948966) return detail::sincos_poly(angle);
    if (angle <= 3.141592653589793) {
        const SinCos p = detail::sincos_poly(3.141592653589793 - angle);
        return {p.sin, -p.cos};
    }
    if (angle <= 4.71238898038469) {
        const SinCos p = detail::sincos_poly(angle - 3.141592653589793);
        return {-p.sin, -p.cos};
    }
    const SinCos p = detail::sincos_poly(kTwoPi - angle);
    return {-p.sin, p.cos};
}

}  // namespace sonolith
