// The arithmetic of the easing curves, apart from any Python object, so that
// the module and the benchmark's floor compute the very same values.
//
// Every named curve maps progress t in (0, 1) to its value (the caller gives
// 0 and 1 at the ends and handles NaN).  The curves are those of the common
// web easing functions with their published defaults: polynomial
// in/out/in-out pairs, sine, the exponential and elastic curves normalised to
// start exactly at 0 and end exactly at 1, back with overshoot 1.70158,
// elastic with amplitude 1 and period 0.3, and the four-bounce curve.  Where
// the published formula cancels (1 - cos t near 0, 1 - (1 - t)^n, ...) the
// same function is computed in a form that does not.
//
// Every target gives the same bits: the curves call no function of the
// platform's maths library (whose sine, cosine and exponential differ between
// C libraries and between glibc's own builds), only IEEE-754 operations that
// round once each (the build forbids contraction and x87 arithmetic), exact
// ones (floor, square root, scaling by powers of two) and the sine, cosine
// and 2^x - 1 below, which are polynomials on exactly reduced arguments.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

namespace qm::easing {

// ---- double-double arithmetic ----------------------------------------------------
//
// An unevaluated sum hi + lo with |lo| <= ulp(hi) / 2: about 106 bits.  Only
// the additions and multiplications by a double that the Bézier solver and
// the curves' sine, cosine and 2^x - 1 need, built on the exact sum and
// product of two doubles (the product by Dekker's split, so no fused
// multiply-add is needed; the build forbids contraction).  The split
// multiplies by 2^27 + 1, so a product's factors must stay well below
// 2^996: the solver keeps its numbers near 1, the curves theirs below 2^11.
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

inline DD two_prod(double a, double b) { return two_prod(a, b, split(b)); }

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

// Filled in place: a Bezier is too big for clang to copy without calling
// memcpy, whose glibc symbol version is newer than the modules may need.
inline void make_bezier(Bezier& b, double x1, double y1, double x2, double y2) {
    double big = std::max({1.0, std::fabs(y1), std::fabs(y2)});
    int e;
    std::frexp(big, &e);  // big in [2^(e-1), 2^e)
    int y_exp = e > 1 ? e - 1 : 0;
    double sy1 = std::ldexp(y1, -y_exp), sy2 = std::ldexp(y2, -y_exp), end = std::ldexp(1.0, -y_exp);
    b.x1 = x1;
    b.y1 = y1;
    b.x2 = x2;
    b.y2 = y2;
    b.y_exp = y_exp;
    b.y_scale = std::ldexp(1.0, y_exp);
    b.y_end = end;
    b.x = cubic_of({x1, 0}, {x2, 0}, 1);
    b.y = cubic_of({sy1, 0}, {sy2, 0}, end);
    b.xb = cubic_of(two_sum(1, -x2), two_sum(1, -x1), 1);
    b.yb = cubic_of(two_sum(end, -sy2), two_sum(end, -sy1), end);
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

// ---- sine, cosine and 2^x - 1 ------------------------------------------------------
//
// Angles are counted in quarter turns, sin_quarter(x) = sin(pi/2 x), so that
// reducing an argument to its quadrant is an exact subtraction of the nearest
// integer.  Each function is a kernel on a reduced argument |r| <= 1/2 (given
// as r + rl, rl a correction below half a unit in the last place of r) that
// returns a pair hi + lo with |lo| <= ulp(hi) / 2, within about 2^-56 of the
// value: its leading term is an exact product, the rest a polynomial in
// doubles.  A curve may combine pairs before it rounds; rounded on its own
// (hi), a pair is within one unit in the last place of the function.

// Made by tools/easing_kernels.py with mpmath: pi/2, pi^2/8 and ln 2 each
// split in two doubles (hi the nearest, lo the nearest to the rest), and the
// tails' polynomials (lowest degree first) interpolated at Chebyshev nodes,
// coefficients rounded to the nearest double.
constexpr double half_pi_hi = 0x1.921fb54442d18p+0, half_pi_lo = 0x1.1a62633145c07p-54;
constexpr double pi2_8_hi = 0x1.3bd3cc9be45dep+0, pi2_8_lo = 0x1.692b71366cc04p-54;
constexpr double ln2_hi = 0x1.62e42fefa39efp-1, ln2_lo = 0x1.abc9e3b39803fp-56;
// sin(pi/2 r) = r (pi/2 + z sin_tail(z)), z = r^2: within 2^-57.5 of the value
constexpr double sin_tail[] = {-0x1.4abbce625be53p-1, 0x1.466bc6775aae1p-4,  -0x1.32d2cce62b872p-8,
                               0x1.50783486facaap-13, -0x1.e3074d2614b2dp-19, 0x1.e8f036bcd3237p-25,
                               -0x1.6cc577dadd922p-31};
// cos(pi/2 r) = 1 - (pi^2/8) z + z^2 cos_tail(z), z = r^2: within 2^-58.4
constexpr double cos_tail[] = {0x1.03c1f081b5ac4p-2,   -0x1.55d3c7e3cbd74p-6, 0x1.e1f50688302c5p-11,
                               -0x1.a6d1f0ab7905cp-16, 0x1.f9cfc07738157p-22, -0x1.b38340f56931fp-28};
// 2^r - 1 = r ln 2 + r^2 exp2m1_tail(r): within 2^-56.8
constexpr double exp2m1_tail[] = {0x1.ebfbdff82c58fp-3,  0x1.c6b08d704a0c2p-5,  0x1.3b2ab6fba4e78p-7,
                                  0x1.5d87fe78a5276p-10, 0x1.430912f86bf52p-13, 0x1.ffcbfc670dcd4p-17,
                                  0x1.62c022401b97dp-20, 0x1.b524fae627834p-24, 0x1.e4cf1cd08d4b8p-28,
                                  0x1.e9d3fe3952179p-32, 0x1.c48f769ad2c46p-36};

// c[First] + c[First + 1] x + ... by Estrin's scheme: pairs c[i] + c[i + 1] x,
// then the polynomial of those in x^2.  The same sequence of operations every
// time, with a shorter chain of dependent ones than Horner's.
template <std::size_t First, std::size_t N>
constexpr double estrin(const double (&c)[N], double x) {
    constexpr std::size_t M = N - First;
    if constexpr (M == 1) {
        return c[First];
    } else {
        double pairs[(M + 1) / 2];
        for (std::size_t i = 0; i < M / 2; ++i) pairs[i] = c[First + 2 * i] + c[First + 2 * i + 1] * x;
        if constexpr (M % 2 == 1) pairs[M / 2] = c[N - 1];
        return estrin<0>(pairs, x * x);
    }
}

// x as n + r: n the nearest integer (ties to even), r = x - n exactly, and n
// mod 4, for |x| < 2^51.  Adding 1.5 * 2^52 rounds x to an integer, which
// subtracting it leaves, and whose last two bits are the sum's.
struct Reduced {
    double n, r;
    int quadrant;
};
inline Reduced reduce(double x) {
    constexpr double shift = 0x1.8p52;
    double s = x + shift;
    double n = s - shift;
    return {n, x - n, static_cast<int>(bits_of(s) & 3)};
}

// 2^n for an integer n in [-1022, 1023], from its exponent bits.
inline double pow2(int n) { return of_bits(static_cast<std::uint64_t>(n + 1023) << 52); }

// The leading term r (pi/2 + c0 z), c0 the tail's first coefficient, is an
// exact product of r and a pair; the rest is below r z^2 / 10.
inline DD sin_kernel(double r, double rl) {
    double z = r * r;
    DD a = quick_two_sum(half_pi_hi, sin_tail[0] * z);
    DD p = two_prod(r, a.hi);
    // rl enters through the derivative, pi/2 cos(pi/2 r), to about 2^-6 of itself.
    double rest = p.lo + (r * (a.lo + half_pi_lo) + rl * half_pi_hi * (1 - pi2_8_hi * z)) +
                  r * z * z * estrin<1>(sin_tail, z);
    return quick_two_sum(p.hi, rest);
}

inline DD cos_kernel(double r, double rl) {
    DD z = two_prod(r, r);
    DD m = two_prod(z.hi, pi2_8_hi);
    DD w = quick_two_sum(1, -m.hi);  // exact: m.hi <= pi^2/32
    double rest = w.lo - (m.lo + (pi2_8_hi * z.lo + pi2_8_lo * z.hi) + 2 * pi2_8_hi * r * rl) +
                  z.hi * z.hi * estrin<0>(cos_tail, z.hi);
    return quick_two_sum(w.hi, rest);
}

// As the sine: the leading term r (ln 2 + c0 r) exactly, the rest below r^3 / 16.
inline DD exp2m1_kernel(double r, double rl) {
    DD a = quick_two_sum(ln2_hi, exp2m1_tail[0] * r);
    DD p = two_prod(r, a.hi);
    // rl enters through the derivative, ln 2 * 2^r.
    double rest = p.lo + (r * (a.lo + ln2_lo) + rl * ln2_hi * (1 + p.hi)) + r * r * r * estrin<1>(exp2m1_tail, r);
    return quick_two_sum(p.hi, rest);
}

// sin(pi/2 (q + r + rl)) for a quadrant q (any integer; only q mod 4 counts):
// the kernel of that quadrant.
inline DD sin_quarters(int q, double r, double rl) {
    DD s = (q & 1) == 0 ? sin_kernel(r, rl) : cos_kernel(r, rl);
    return (q & 2) == 0 ? s : DD{-s.hi, -s.lo};
}

// sin(pi/2 (x + shift)) for a whole number of quarter turns shift and every
// double x (NaN for infinities).  From 2^51 on x is a multiple of 1/2, and
// x - floor(x) exact.
inline double sin_quarter_shifted(double x, int shift) {
    if (std::fabs(x) < 0x1p51) {
        Reduced q = reduce(x);
        return sin_quarters(q.quadrant + shift, q.r, 0).hi;
    }
    if (!(std::fabs(x) <= std::numeric_limits<double>::max())) return x - x;
    double n = std::floor(x);
    return sin_quarters(static_cast<int>(n - 4 * std::floor(n / 4)) + shift, x - n, 0).hi;
}
inline double sin_quarter(double x) { return sin_quarter_shifted(x, 0); }
inline double cos_quarter(double x) { return sin_quarter_shifted(x, 1); }

// 2^(x + xl) - 1 for |x| <= 53 and xl below half a unit in the last place of
// x, as 2^n (1 + k) - 1 = (2^n - 1) + 2^n k with k = 2^r - 1 from the kernel;
// 2^n - 1 and the scaling are exact.
inline DD exp2m1_dd(double x, double xl) {
    Reduced q = reduce(x);
    DD r = quick_two_sum(q.r, xl);  // q.r is 0 or at least an ulp of x
    DD k = exp2m1_kernel(r.hi, r.lo);
    double scale = pow2(static_cast<int>(q.n));
    DD s = two_sum(scale - 1, scale * k.hi);
    return quick_two_sum(s.hi, s.lo + scale * k.lo);
}

// 2^x - 1 for every double x.
inline double exp2m1(double x) {
    if (x <= -53.5) return -1;  // within an ulp of -1 + 2^x
    if (x < 53.5) return exp2m1_dd(x, 0).hi;
    if (!(x < 1024)) return x == x ? std::numeric_limits<double>::infinity() : x;
    // 2^n (1 + k) - 1 with 2^n - 1 no longer exact: 2^n times the pair 1 + k,
    // in two steps (2^1024 is no double), and the 1 subtracted from the
    // smaller part.
    Reduced q = reduce(x);
    DD k = exp2m1_kernel(q.r, 0);
    DD y = quick_two_sum(1, k.hi);
    double half = pow2(static_cast<int>(q.n) - 1);
    return y.hi * half * 2 + ((y.lo + k.lo) * half * 2 - 1);
}

// ---- pairs ----------------------------------------------------------------------------

// a^2 as a pair, for a pair a with |a.lo| <= ulp(a.hi) / 2.
inline DD dd_square(DD a) {
    DD p = two_prod(a.hi, a.hi);
    return quick_two_sum(p.hi, p.lo + 2 * a.hi * a.lo);
}

// The rounded product of two such pairs.
inline double dd_product(DD a, DD b) {
    DD p = two_prod(a.hi, b.hi);
    return p.hi + (p.lo + (a.hi * b.lo + a.lo * b.hi));
}

// ---- the curves -------------------------------------------------------------------

using Shape = double (*)(double);

// t^E by squaring.
template <int E>
double ipow(double t) {
    if constexpr (E == 1) return t;
    else if constexpr (E % 2 == 0) return ipow<E / 2>(t * t);
    else return t * ipow<E - 1>(t);
}

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
// 1 - u^E with u = 1 - t, exact from t = 1/2 on; below, where 1 - u^E would
// cancel, t (1 + u + ... + u^(E-1)), whose terms are all positive.
template <int E>
double poly_out(double t) {
    double u = 1 - t;
    if (t >= 0.5) return 1 - ipow<E>(u);
    double sum = 1;
    for (int i = 1; i < E; ++i) sum = sum * u + 1;
    return t * sum;
}
template <int E>
double poly_in_out(double t) {
    t *= 2;
    return (t <= 1 ? ipow<E>(t) : 2 - ipow<E>(2 - t)) / 2;
}

// 1 - cos(pi/2 t) = 2 sin^2(pi/4 t); (1 - cos(pi t)) / 2 = sin^2(pi/2 t).
inline double sine_in(double t) { return 2 * dd_square(sin_kernel(t / 2, 0)).hi; }
inline double sine_out(double t) { return sin_quarter(t); }
inline double sine_in_out(double t) {
    Reduced q = reduce(t);
    return dd_square(sin_quarters(q.quadrant, q.r, 0)).hi;
}

// The exponential curves run along 2^(10t) - 1 scaled by 1 / (2^10 - 1), so
// that they go exactly from 0 to 1 (the published curves subtract 2^-10 from
// 2^(10(t - 1)) and divide by 1 - 2^-10: the same function).
constexpr double expo_span = 0x1p10 - 1;

// 10t, exactly, as a pair.
inline DD ten_times(double t) { return two_sum(8 * t, 2 * t); }

// A pair over expo_span, as a pair.
inline DD over_span(DD a) {
    double q = a.hi / expo_span;
    DD back = two_sum(0x1p10 * q, -q);  // expo_span * q, exactly
    return quick_two_sum(q, (((a.hi - back.hi) - back.lo) + a.lo) / expo_span);
}

// (2^(10t) - 1) / (2^10 - 1), and 1 minus its mirror image,
// (1 - 2^(-10t)) / (1 - 2^-10), as pairs.
inline DD expo_rise(double t) {
    DD x = ten_times(t);
    return over_span(exp2m1_dd(x.hi, x.lo));
}
inline DD expo_fall(double t) {
    DD x = ten_times(t);
    DD d = exp2m1_dd(-x.hi, -x.lo);
    return over_span({-0x1p10 * d.hi, -0x1p10 * d.lo});  // scaled first: tiny t gives subnormals
}

inline double expo_in(double t) { return expo_rise(t).hi; }
inline double expo_out(double t) { return expo_fall(t).hi; }
inline double expo_in_out(double t) {
    t *= 2;
    if (t <= 1) return expo_in(t) / 2;
    DD e = expo_fall(t - 1);
    DD s = quick_two_sum(1, e.hi);
    return (s.hi + (s.lo + e.lo)) / 2;
}

// circ_in is t^2 / (1 + sqrt(1 - t^2)), not 1 - sqrt(1 - t^2), with 1 - t^2
// as (1 - t)(1 + t) from t = 1/2 on, where t^2 would round away most of the
// difference; circ_out is sqrt(t (2 - t)), not sqrt(1 - (t - 1)^2).
inline double circ_in(double t) {
    double w = t < 0.5 ? 1 - t * t : (1 - t) * (1 + t);
    return t * t / (1 + std::sqrt(w));
}
inline double circ_out(double t) { return std::sqrt(t * (2 - t)); }
inline double circ_in_out(double t) {
    t *= 2;
    if (t <= 1) return circ_in(t) / 2;
    return (circ_out(t - 1) + 1) / 2;
}

constexpr double back_s = 1.70158;
inline double back_in(double t) { return t * t * (back_s * (t - 1) + t); }
// 1 + (t - 1)^2 ((s + 1)(t - 1) + s); below t = 1/2, where that cancels,
// its expansion t ((s + 3) - t ((2s + 3) - (s + 1) t)).
inline double back_out(double t) {
    if (t < 0.5) return t * ((back_s + 3) - t * ((2 * back_s + 3) - (back_s + 1) * t));
    t -= 1;
    return t * t * ((t + 1) * back_s + t) + 1;
}
inline double back_in_out(double t) {
    t *= 2;
    if (t < 1) return t * t * ((back_s + 1) * t - back_s) / 2;
    t -= 2;
    return (t * t * ((back_s + 1) * t + back_s) + 2) / 2;
}

// Amplitude 1 and period 0.3: sin(2 pi (t + s) / 0.3) with the phase s
// putting a crest where the envelope starts is cos(2 pi t / 0.3), and
// 2 pi t / 0.3 is 40t/3 quarter turns.  sin_thirds takes the quarter turns
// x = y / 3 with y given exactly as a pair (0 <= y.hi <= 2^50, y.lo about an
// ulp of y.hi at most) and reduces them exactly: y.hi - 3n is exact (the two
// are within 3/2 of each other), and so is the residual of the division.
inline DD sin_thirds(DD y, int quadrant_shift) {
    Reduced q = reduce(y.hi / 3);
    DD d = two_sum(y.hi - 3 * q.n, y.lo);
    double r = d.hi / 3;
    DD back = two_sum(2 * r, r);  // 3r, exactly
    double rl = (((d.hi - back.hi) - back.lo) + d.lo) / 3;
    return sin_quarters(q.quadrant + quadrant_shift, r, rl);
}

// elastic_out(t) = 1 - E(t) cos(40t/3 quarter turns), E the envelope
// 1 - expo_out(t), written as expo_out(t) + E(t) * 2 sin^2(20t/3 quarter
// turns): two terms that never cancel.
inline DD elastic_out_pair(double t) {
    DD fall = expo_fall(t);
    DD envelope = two_sum(1, -fall.hi);
    envelope.lo -= fall.lo;
    DD s = sin_thirds(two_sum(16 * t, 4 * t), 0);  // 20t, exactly
    DD v = dd_square(s);
    v = {2 * v.hi, 2 * v.lo};
    DD ev = two_prod(envelope.hi, v.hi);
    ev.lo += envelope.hi * v.lo + envelope.lo * v.hi;
    DD sum = two_sum(fall.hi, ev.hi);
    return {sum.hi, sum.lo + (fall.lo + ev.lo)};
}

// elastic_in(t) = E(1 - t) cos(40(1 - t)/3 quarter turns), E(1 - t) = expo_in(t).
inline double elastic_in(double t) {
    DD u = two_sum(1, -t);
    DD y = two_sum(32 * u.hi, 8 * u.hi);  // 40(1 - t), exactly but for u.lo
    y.lo += 40 * u.lo;
    return dd_product(expo_rise(t), sin_thirds(y, 1));
}
inline double elastic_out(double t) {
    DD e = elastic_out_pair(t);
    return e.hi + e.lo;
}
inline double elastic_in_out(double t) {
    if (t * 2 - 1 < 0) return elastic_in(t * 2) / 2;
    DD e = elastic_out_pair(t * 2 - 1);
    DD s = two_sum(1, e.hi);
    return (s.hi + (s.lo + e.lo)) / 2;
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
// 1 - bounce_out(1 - t); on its first arc (bounce_out's last), where that
// cancels, the same parabola factored: b0 t (1/11 - t).
constexpr double b10 = 1.0 / 11;
inline double bounce_in(double t) { return t < b10 ? b0 * t * (b10 - t) : 1 - bounce_out(1 - t); }
inline double bounce_in_out(double t) {
    t *= 2;
    return (t <= 1 ? bounce_in(t) : bounce_out(t - 1) + 1) / 2;
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
    {"cubic_out", poly_out<3>},
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

// The primitives by name, for the tests' accuracy checks (the module's
// private _primitive()).
inline constexpr NamedShape named_primitives[] = {
    {"sin_quarter", sin_quarter},
    {"cos_quarter", cos_quarter},
    {"exp2m1", exp2m1},
};

// ---- the CSS keyword, step and linear() curves -------------------------------------

// The CSS keywords that are Béziers, with their control points.
struct KeywordBezier {
    const char* name;
    double x1, y1, x2, y2;
};
inline constexpr KeywordBezier keyword_beziers[] = {
    {"ease", 0.25, 0.1, 0.25, 1.0},
    {"ease_in", 0.42, 0.0, 1.0, 1.0},
    {"ease_out", 0.0, 0.0, 0.58, 1.0},
    {"ease_in_out", 0.42, 0.0, 0.58, 1.0},
};

// steps(n, position): n equal steps, with a jump at the start or not, at the
// end or not (jump-none has n - 1 jumps, jump-both n + 1).  n stays below
// 2^53, so it and the count of jumps are exact doubles.
enum class StepPosition : unsigned char { jump_start, jump_end, jump_none, jump_both };
struct Steps {
    double n, jumps;
    bool jump_at_start;
};
inline Steps make_steps(double n, StepPosition position) {
    bool at_start = position == StepPosition::jump_start || position == StepPosition::jump_both;
    double jumps = position == StepPosition::jump_none ? n - 1 : position == StepPosition::jump_both ? n + 1 : n;
    return {n, jumps, at_start};
}
// The CSS algorithm for t in [0, 1]: the step t falls in, one more with a
// jump at the start, at most the last.  The one is added before the floor,
// as browsers do: a t an ulp below an edge whose n t + 1 rounds up to the
// edge is already past it there.
inline double steps_at(const Steps& s, double t) {
    double step = std::floor(t * s.n + (s.jump_at_start ? 1 : 0));
    return std::min(step, s.jumps) / s.jumps;
}

// linear(): straight lines between points (input, output), inputs never
// decreasing, at least two points.  The segment is the one from the last
// point at or before t (the first segment before the first point, the last
// after the last); where two points share an input the later output holds.
inline double stops_at(const double* in, const double* out, std::size_t count, double t) {
    std::size_t lo = 0, hi = count - 1;  // the answer is in [lo, hi), the last i with in[i] <= t or 0
    while (hi - lo > 1) {
        std::size_t mid = lo + (hi - lo) / 2;
        if (in[mid] <= t) lo = mid;
        else hi = mid;
    }
    double a = in[lo], b = in[lo + 1];
    if (a == b) return out[lo + 1];
    return out[lo] + (t - a) / (b - a) * (out[lo + 1] - out[lo]);
}

}  // namespace qm::easing
