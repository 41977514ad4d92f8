// The arithmetic of the easing curves, apart from any Python object, so that
// the module and the benchmark's floor compute the very same values.
//
// Every named curve maps progress t in [0, 1] (the caller clamps it and
// handles NaN) to its value.  The expressions follow the published defaults
// of the common web easing functions step by step, in the same order of
// operations, so that they round alike: polynomial in/out/in-out pairs,
// sine, the exponential and elastic curves normalised to start exactly at 0
// and end exactly at 1, back with overshoot 1.70158, elastic with amplitude 1
// and period 0.3, and the four-bounce curve.
#pragma once

#include <cmath>

namespace qm::easing {

using Shape = double (*)(double);

constexpr double pi = 3.141592653589793;
constexpr double half_pi = pi / 2;
constexpr double tau = 2 * pi;

// pow, exp and exp2 are not called: glibc versioned them anew in 2.29, and
// the modules must load with glibc 2.5.  Their replacements stay within a few
// units in the last place.

// 2^y as 2^n * 2^f with n = floor(y), f in [0, 1): exact at every integer y.
inline double exp2_of(double y) {
    double n = std::floor(y);
    return std::ldexp(std::expm1((y - n) * 0.6931471805599453) + 1, static_cast<int>(n));
}

// t^E by squaring.
template <int E>
double ipow(double t) {
    if constexpr (E == 1) return t;
    else if constexpr (E % 2 == 0) return ipow<E / 2>(t * t);
    else return t * ipow<E - 1>(t);
}

// 2^(-10x) shifted and scaled so that it runs from exactly 1 at x = 0 to
// exactly 0 at x = 1 instead of stopping at 2^-10.
inline double tpmt(double x) { return (exp2_of(-10 * x) - 0.0009765625) * 1.0009775171065494; }

inline double linear(double t) { return t; }

inline double quad_in(double t) { return t * t; }
inline double quad_out(double t) { return t * (2 - t); }
inline double quad_in_out(double t) {
    t *= 2;
    if (t <= 1) return t * t / 2;
    t -= 1;
    return (t * (2 - t) + 1) / 2;
}

inline double cubic_in(double t) { return t * t * t; }
inline double cubic_out(double t) {
    t -= 1;
    return t * t * t + 1;
}
inline double cubic_in_out(double t) {
    t *= 2;
    if (t <= 1) return t * t * t / 2;
    t -= 2;
    return (t * t * t + 2) / 2;
}

template <int E>
double poly_in(double t) {
    return ipow<E>(t);
}
template <int E>
double poly_out(double t) {
    return 1 - ipow<E>(1 - t);
}
template <int E>
double poly_in_out(double t) {
    t *= 2;
    return (t <= 1 ? ipow<E>(t) : 2 - ipow<E>(2 - t)) / 2;
}

inline double sine_in(double t) { return t == 1 ? 1 : 1 - std::cos(t * half_pi); }
inline double sine_out(double t) { return std::sin(t * half_pi); }
inline double sine_in_out(double t) { return (1 - std::cos(pi * t)) / 2; }

inline double expo_in(double t) { return tpmt(1 - t); }
inline double expo_out(double t) { return 1 - tpmt(t); }
inline double expo_in_out(double t) {
    t *= 2;
    return (t <= 1 ? tpmt(1 - t) : 2 - tpmt(t - 1)) / 2;
}

inline double circ_in(double t) { return 1 - std::sqrt(1 - t * t); }
inline double circ_out(double t) {
    t -= 1;
    return std::sqrt(1 - t * t);
}
inline double circ_in_out(double t) {
    t *= 2;
    if (t <= 1) return (1 - std::sqrt(1 - t * t)) / 2;
    t -= 2;
    return (std::sqrt(1 - t * t) + 1) / 2;
}

constexpr double back_s = 1.70158;
inline double back_in(double t) { return t * t * (back_s * (t - 1) + t); }
inline double back_out(double t) {
    t -= 1;
    return t * t * ((t + 1) * back_s + t) + 1;
}
inline double back_in_out(double t) {
    t *= 2;
    if (t < 1) return t * t * ((back_s + 1) * t - back_s) / 2;
    t -= 2;
    return (t * t * ((back_s + 1) * t + back_s) + 2) / 2;
}

// Amplitude 1, period 0.3; the phase s puts the first crest where the
// normalised exponential envelope starts.
constexpr double elastic_p = 0.3 / tau;
constexpr double elastic_s = half_pi * elastic_p;  // asin(1 / amplitude) * p
inline double elastic_in(double t) {
    t -= 1;
    return tpmt(-t) * std::sin((elastic_s - t) / elastic_p);
}
inline double elastic_out(double t) { return 1 - tpmt(t) * std::sin((t + elastic_s) / elastic_p); }
inline double elastic_in_out(double t) {
    t = t * 2 - 1;
    return (t < 0 ? tpmt(-t) * std::sin((elastic_s - t) / elastic_p)
                  : 2 - tpmt(t) * std::sin((elastic_s + t) / elastic_p)) / 2;
}

// Four parabolic arcs; the breaks and crests in elevenths.
constexpr double b1 = 4.0 / 11, b2 = 6.0 / 11, b3 = 8.0 / 11, b4 = 3.0 / 4, b5 = 9.0 / 11, b6 = 10.0 / 11,
                 b7 = 15.0 / 16, b8 = 21.0 / 22, b9 = 63.0 / 64, b0 = 1 / b1 / b1;
inline double bounce_out(double t) {
    if (t < b1) return b0 * t * t;
    if (t < b3) {
        t -= b2;
        return b0 * t * t + b4;
    }
    if (t < b6) {
        t -= b5;
        return b0 * t * t + b7;
    }
    t -= b8;
    return b0 * t * t + b9;
}
inline double bounce_in(double t) { return 1 - bounce_out(1 - t); }
inline double bounce_in_out(double t) {
    t *= 2;
    return (t <= 1 ? 1 - bounce_out(1 - t) : bounce_out(t - 1) + 1) / 2;
}

inline double smoothstep_half(double t) { return t * t * (3 - 2 * t); }
inline double smootherstep_half(double t) { return t * t * t * (t * (t * 6 - 15) + 10); }

// Both are symmetric about (1/2, 1/2), so the upper half is evaluated as the
// lower one turned over: near 1 the polynomial would cancel and overshoot 1.
inline double smoothstep(double t) { return t <= 0.5 ? smoothstep_half(t) : 1 - smoothstep_half(1 - t); }
inline double smootherstep(double t) { return t <= 0.5 ? smootherstep_half(t) : 1 - smootherstep_half(1 - t); }

// ---- the named curves ---------------------------------------------------------------

struct NamedShape {
    const char* name;
    Shape shape;
};

// In the order the module lists them and the gallery draws them.
inline constexpr NamedShape named_shapes[] = {
    {"linear", linear},
    {"quad_in", quad_in},
    {"quad_out", quad_out},
    {"quad_in_out", quad_in_out},
    {"cubic_in", cubic_in},
    {"cubic_out", cubic_out},
    {"cubic_in_out", cubic_in_out},
    {"quart_in", poly_in<4>},
    {"quart_out", poly_out<4>},
    {"quart_in_out", poly_in_out<4>},
    {"quint_in", poly_in<5>},
    {"quint_out", poly_out<5>},
    {"quint_in_out", poly_in_out<5>},
    {"sine_in", sine_in},
    {"sine_out", sine_out},
    {"sine_in_out", sine_in_out},
    {"expo_in", expo_in},
    {"expo_out", expo_out},
    {"expo_in_out", expo_in_out},
    {"circ_in", circ_in},
    {"circ_out", circ_out},
    {"circ_in_out", circ_in_out},
    {"back_in", back_in},
    {"back_out", back_out},
    {"back_in_out", back_in_out},
    {"elastic_in", elastic_in},
    {"elastic_out", elastic_out},
    {"elastic_in_out", elastic_in_out},
    {"bounce_in", bounce_in},
    {"bounce_out", bounce_out},
    {"bounce_in_out", bounce_in_out},
    {"smoothstep", smoothstep},
    {"smootherstep", smootherstep},
};

// ---- double-double arithmetic ----------------------------------------------------
//
// An unevaluated sum hi + lo with |lo| <= ulp(hi) / 2: about 106 bits.  Only
// the additions and multiplications by a double that the Bézier solver needs,
// built on the exact sum and product of two doubles (the product by Dekker's
// split, so no fused multiply-add is needed; the build forbids contraction).
struct DD {
    double hi, lo;
};

inline DD two_sum(double a, double b) {
    double s = a + b;
    double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

inline DD quick_two_sum(double a, double b) {  // |a| >= |b|
    double s = a + b;
    return {s, b - (s - a)};
}

inline DD split(double a) {
    double c = 134217729.0 * a;  // 2^27 + 1
    double hi = c - (c - a);
    return {hi, a - hi};
}

inline DD two_prod(double a, double b) {
    double p = a * b;
    DD x = split(a), y = split(b);
    return {p, ((x.hi * y.hi - p) + x.hi * y.lo + x.lo * y.hi) + x.lo * y.lo};
}

inline DD dd_add(DD a, DD b) {
    DD s = two_sum(a.hi, b.hi);
    return quick_two_sum(s.hi, s.lo + (a.lo + b.lo));
}

inline DD dd_mul(DD a, double b) {
    DD p = two_prod(a.hi, b);
    return quick_two_sum(p.hi, p.lo + a.lo * b);
}

// ---- CSS cubic-bezier(x1, y1, x2, y2) ----------------------------------------
//
// The curve runs from (0, 0) to (1, 1); with x1 and x2 in [0, 1] its x is
// non-decreasing in the curve parameter u, so every progress has one curve
// point.  Each coordinate as a polynomial in power form, ((a u + b) u + c) u,
// with its coefficients in double-double: c = 3 p1, b = 3 p2 - 6 p1,
// a = 1 + 3 p1 - 3 p2.  Where x is flat (a vertical tangent, as with
// x1 = 1, x2 = 0) x(u) - t in double precision would round to 0 a long way
// from the root; in double-double the root is found to the last bit of u.
struct Bezier {
    double x1, y1, x2, y2;
    DD ax, bx, cx, ay, by, cy;
};

inline Bezier make_bezier(double x1, double y1, double x2, double y2) {
    Bezier b{x1, y1, x2, y2, {}, {}, {}, {}, {}, {}};
    b.cx = two_prod(3, x1);
    b.bx = dd_add(two_prod(3, x2), two_prod(-6, x1));
    b.ax = dd_add(dd_add({1, 0}, two_prod(3, x1)), two_prod(-3, x2));
    b.cy = two_prod(3, y1);
    b.by = dd_add(two_prod(3, y2), two_prod(-6, y1));
    b.ay = dd_add(dd_add({1, 0}, two_prod(3, y1)), two_prod(-3, y2));
    return b;
}

inline DD horner(DD a, DD b, DD c, double u) { return dd_mul(dd_add(dd_mul(dd_add(dd_mul(a, u), b), u), c), u); }

// x'(u), only to aim Newton's steps.
inline double bezier_dx(const Bezier& b, double u) { return (3 * b.ax.hi * u + 2 * b.bx.hi) * u + b.cx.hi; }

// A start for the solver: a few of Newton's steps in double precision, which
// are cheap and bring u close to the root wherever x is not flat.
inline double bezier_guess(const Bezier& b, double t) {
    double u = t;
    for (int i = 0; i < 8; ++i) {
        double d = bezier_dx(b, u);
        if (!(d > 1e-6)) break;
        double step = (((b.ax.hi * u + b.bx.hi) * u + b.cx.hi) * u - t) / d;
        if (!(u - step >= 0 && u - step <= 1)) break;
        u -= step;
        if (std::fabs(step) < 1e-12) break;
    }
    return u;
}

// The curve parameter whose x is t, to the last bit: Newton's method kept
// inside a bracket that every step narrows, with bisection wherever Newton
// would leave the bracket or the slope vanishes.  Once a Newton step no
// longer moves u, the root is within about half a unit in the last place:
// the answer is u or its neighbour toward the root.
inline double bezier_solve(const Bezier& b, double t) {
    double lo = 0, hi = 1, u = bezier_guess(b, t);
    auto error = [&](double v) { return dd_add(horner(b.ax, b.bx, b.cx, v), {-t, 0}).hi; };
    for (int i = 0; i < 200; ++i) {
        double f = error(u);
        if (f == 0) return u;
        if (f < 0)
            lo = u;
        else
            hi = u;
        double d = bezier_dx(b, u);
        double next = d > 0 ? u - f / d : lo;
        if (next == u) {
            double v = std::nextafter(u, f < 0 ? 1.0 : 0.0);
            return std::fabs(error(v)) < std::fabs(f) ? v : u;
        }
        if (!(next > lo && next < hi)) next = lo + (hi - lo) / 2;
        if (next == lo || next == hi) break;
        u = next;
    }
    // The bracket holds no double between its ends: the better of the two.
    return std::fabs(error(lo)) <= std::fabs(error(hi)) ? lo : hi;
}

inline double bezier_at(const Bezier& b, double t) {
    if (t <= 0) return 0;
    if (t >= 1) return 1;
    if (b.x1 == b.y1 && b.x2 == b.y2) return t;  // the straight line
    return horner(b.ay, b.by, b.cy, bezier_solve(b, t)).hi;
}

}  // namespace qm::easing
