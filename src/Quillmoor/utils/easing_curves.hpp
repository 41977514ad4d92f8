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

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

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
// The split multiplies by 2^27 + 1, so a product's factors must stay well
// below 2^996: the solver keeps its numbers near 1.
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

// a * b exactly, with b already split.
inline DD two_prod(double a, double b, DD sb) {
    double p = a * b;
    DD sa = split(a);
    return {p, ((sa.hi * sb.hi - p) + sa.hi * sb.lo + sa.lo * sb.hi) + sa.lo * sb.lo};
}

inline DD dd_add(DD a, DD b) {
    DD s = two_sum(a.hi, b.hi);
    return quick_two_sum(s.hi, s.lo + (a.lo + b.lo));
}

inline DD dd_neg(DD a) { return {-a.hi, -a.lo}; }

inline DD dd_mul(DD a, double b, DD sb) {
    DD p = two_prod(a.hi, b, sb);
    return quick_two_sum(p.hi, p.lo + a.lo * b);
}

inline DD dd_mul(DD a, double b) { return dd_mul(a, b, split(b)); }

// a * 2^e, exact unless the result leaves the normal range.
inline DD dd_scale(DD a, int e) { return {std::ldexp(a.hi, e), std::ldexp(a.lo, e)}; }

// ---- CSS cubic-bezier(x1, y1, x2, y2) ----------------------------------------
//
// The curve runs from (0, 0) to (1, 1); with x1 and x2 in [0, 1] its x is
// increasing in the curve parameter u (its slope vanishes at one point at
// most: u = 1/2 when x1 = 1 and x2 = 0), so every progress t has one curve
// point, and the value is y(u) at the root of x(u) = t.
//
// - x(u) - t is evaluated in double-double, so its sign is right however flat
//   x is: at a vertical tangent x(u) - t in doubles rounds to 0 a long way
//   from the root.
// - Newton's method in doubles, kept in a bracket, comes close to the root;
//   in double-double Newton's method then either lands within half a unit in
//   the last place of u, where the step itself is the rest of the root, or
//   the root is bracketed by doubles until they are adjacent, and the chord
//   between them places it.  Both brackets halve their bit patterns where
//   Newton's steps would leave them or crawl (near a flat point, or towards
//   a tiny root, whose binade halving finds in a few steps).  At most 24
//   steps in doubles and 66 in double-double (62 halvings of [0, 1] and 4
//   steps that did not halve); usually 3 to 6 and 1 or 2.
// - y follows the rest of the root to first order, so that a steep y (a
//   vertical tangent) does not turn the last bit of u into many bits of y;
//   y(u) is evaluated from the lowest power up, so a small value keeps its
//   relative precision.
// - Past t = 1/2 the curve is run backwards, in s = 1 - u from the end
//   point, so that near the end x is a small number rather than 1 less one.
// - The ordinates are divided by a power of two that takes them below 2, so
//   that no finite y1, y2 (±DBL_MAX included) overflows, and the value is
//   multiplied back once.  Progress below 2^-512 scales u as well, and a
//   value whose terms would underflow is evaluated with each term scaled.

// a u^3 + b u^2 + c u: the Bernstein form 3 p1 u (1 - u)^2 + 3 p2 u^2 (1 - u)
// + p3 u^3 expanded, in double-double.
struct Cubic {
    DD a, b, c;
};

inline Cubic cubic_of(DD p1, DD p2, double p3) {
    DD c = dd_mul(p1, 3);
    return {dd_add(dd_add({p3, 0}, c), dd_mul(p2, -3)), dd_add(dd_mul(p2, 3), dd_mul(p1, -6)), c};
}

inline DD value(const Cubic& p, double u) {
    DD su = split(u);
    return dd_mul(dd_add(dd_mul(dd_add(dd_mul(p.a, u, su), p.b), u, su), p.c), u, su);
}

inline double value_hi(const Cubic& p, double u) { return ((p.a.hi * u + p.b.hi) * u + p.c.hi) * u; }
inline double slope_hi(const Cubic& p, double u) { return (3 * p.a.hi * u + 2 * p.b.hi) * u + p.c.hi; }

struct Bezier {
    double x1, y1, x2, y2;  // as given
    int y_exp;              // the ordinates below are the curve's divided by 2^y_exp
    double y_scale;         // 2^y_exp
    double y_end;           // 2^-y_exp, where y ends
    Cubic x, y;             // in u
    Cubic xb, yb;           // backwards, in s = 1 - u: 1 - x(1 - s) and y_end - y(1 - s)
};

inline Bezier make_bezier(double x1, double y1, double x2, double y2) {
    double big = std::max({1.0, std::fabs(y1), std::fabs(y2)});
    int e;
    std::frexp(big, &e);  // big in [2^(e-1), 2^e)
    int y_exp = e > 1 ? e - 1 : 0;
    double sy1 = std::ldexp(y1, -y_exp), sy2 = std::ldexp(y2, -y_exp), end = std::ldexp(1.0, -y_exp);
    return {x1,
            y1,
            x2,
            y2,
            y_exp,
            std::ldexp(1.0, y_exp),
            end,
            cubic_of({x1, 0}, {x2, 0}, 1),
            cubic_of({sy1, 0}, {sy2, 0}, end),
            cubic_of(two_sum(1, -x2), two_sum(1, -x1), 1),
            cubic_of(two_sum(end, -sy2), two_sum(end, -sy1), end)};
}

inline std::uint64_t bits_of(double v) { return std::bit_cast<std::uint64_t>(v); }
inline double of_bits(std::uint64_t b) { return std::bit_cast<double>(b); }

// The root of x(u) = t in [0, 1] as u + rest, a double and what is left of
// the root, |rest| at most about a unit in the last place of u.  x must be
// increasing with x(0) = 0 < t < x(1).
struct Root {
    double u, rest;
};

constexpr int bezier_guess_steps = 24;
constexpr int bezier_misses = 4;                  // steps in double-double that may fail to halve
constexpr int bezier_steps = 62 + bezier_misses;  // [0, 1] holds fewer than 2^62 bit patterns

inline double bisect_bits(double lo, double hi) { return of_bits((bits_of(lo) + bits_of(hi)) / 2); }

inline Root bezier_root(const Cubic& x, double t) {
    // A guess, in doubles: Newton's method kept in a bracket, with the bit
    // patterns halved wherever a step would leave it or is not below a
    // quarter of the step before, as when Newton's method crawls towards a
    // root near a flat point (halving the bit patterns finds the binade of a
    // tiny root in a few steps).  Near the root the signs in doubles may be
    // wrong; this bracket is not kept.
    double u = t;
    {
        double lo = 0, hi = 1, last = 1;
        for (int i = 0; i < bezier_guess_steps; ++i) {
            double r = value_hi(x, u) - t;
            if (r == 0) break;
            (r < 0 ? lo : hi) = u;
            if (bits_of(hi) - bits_of(lo) <= 1) break;
            double next = u - r / slope_hi(x, u);
            bool newton = next > lo && next < hi && std::fabs(next - u) <= last / 4;
            if (!newton) next = bisect_bits(lo, hi);
            last = std::fabs(next - u);
            u = next;
            if (newton && last <= 0x1p-26 * u) break;  // quadratic convergence: u is within a few ulp
        }
    }
    double lo = 0, hi = 1;
    DD at_lo{-t, 0}, at_hi{0, 0};
    bool hi_known = false;
    int misses = 0;
    for (int i = 0; i < bezier_steps; ++i) {
        bool halving = !(u > lo && u < hi);
        if (halving) u = bisect_bits(lo, hi);
        std::uint64_t before = bits_of(hi) - bits_of(lo);
        DD r = dd_add(value(x, u), {-t, 0});
        if (r.hi == 0) return {u, 0};
        if (r.hi < 0) {
            lo = u;
            at_lo = r;
        } else {
            hi = u;
            at_hi = r;
            hi_known = true;
        }
        std::uint64_t after = bits_of(hi) - bits_of(lo);
        if (after == 1) break;
        if (!halving && after > before / 2) ++misses;
        if (misses == bezier_misses) continue;  // halve from now on
        double d = slope_hi(x, u);
        double rest = -r.hi / d;
        if (u + rest == u) {
            // Within half an ulp.  The step is the rest of the root where x'(u)
            // is not mostly the rounding of its terms (whose size bounds
            // u x''(u) too, so x bends by far less than x'(u) over an ulp):
            // the step's error is then far below an ulp.
            double size = (3 * std::fabs(x.a.hi) * u + 2 * std::fabs(x.b.hi)) * u + std::fabs(x.c.hi);
            if (d >= 0x1p-20 * size) return {u, rest};
            u = of_bits(bits_of(u) + (r.hi < 0 ? 1 : -1));  // bracket it instead
        } else {
            u += rest;
        }
    }
    if (!hi_known) at_hi = dd_add(value(x, hi), {-t, 0});
    // Adjacent doubles: the chord between them.
    double f = at_lo.hi / (at_lo.hi - at_hi.hi), w = hi - lo;
    return f <= 0.5 ? Root{lo, f * w} : Root{hi, (f - 1) * w};
}

inline DD bezier_y(const Cubic& y, Root r) { return dd_add(value(y, r.u), {slope_hi(y, r.u) * r.rest, 0}); }

// y at the root u = (r.u + r.rest) 2^-k, for a value too small for the
// coefficients as they are (its terms would underflow): with u = w 2^-n, w
// in [1, 2), the coefficient of u^j is scaled by 2^(-top - jn), where 2^top
// is about the largest term (a + b + c = y_end, so one coefficient is not 0).
inline double bezier_y_small(const Bezier& b, Root r, int k) {
    int e;
    std::frexp(r.u, &e);
    int n = k + 1 - e;
    Root w{std::ldexp(r.u, n - k), std::ldexp(r.rest, n - k)};
    bool first = true;
    int top = 0;
    for (auto [c, j] : {std::pair{b.y.c.hi, 1}, std::pair{b.y.b.hi, 2}, std::pair{b.y.a.hi, 3}}) {
        if (c == 0) continue;
        std::frexp(c, &e);
        top = first ? e - j * n : std::max(top, e - j * n);
        first = false;
    }
    Cubic y{dd_scale(b.y.a, -top - 3 * n), dd_scale(b.y.b, -top - 2 * n), dd_scale(b.y.c, -top - n)};
    return std::ldexp(bezier_y(y, w).hi, b.y_exp + top);
}

// Progress below 2^-512: u = v 2^-k and t 2^3k in [1/8, 1), so that x's
// coefficients become a, b 2^k and c 2^2k; the root v stays below 1, as
// x(u) >= u^3.
inline double bezier_at_tiny(const Bezier& b, double t) {
    int e;
    std::frexp(t, &e);
    int k = -e / 3;
    Cubic x{b.x.a, dd_scale(b.x.b, k), dd_scale(b.x.c, 2 * k)};
    return bezier_y_small(b, bezier_root(x, std::ldexp(t, 3 * k)), k);
}

inline double bezier_at(const Bezier& b, double t) {
    if (t <= 0) return 0;
    if (t >= 1) return 1;
    if (b.x1 == b.y1 && b.x2 == b.y2) return t;  // the straight line
    if (t > 0.5) return dd_add({b.y_end, 0}, dd_neg(bezier_y(b.yb, bezier_root(b.xb, 1 - t)))).hi * b.y_scale;
    if (t < 0x1p-512) return bezier_at_tiny(b, t);
    Root r = bezier_root(b.x, t);
    double y = bezier_y(b.y, r).hi;
    return std::fabs(y) >= 0x1p-900 ? y * b.y_scale : bezier_y_small(b, r, 0);
}

}  // namespace qm::easing
