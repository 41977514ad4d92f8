// The arithmetic of the easing curves, apart from any Python object, so that
// the module and the benchmark's floor compute the very same values.
//
// Every named curve maps progress t in (0, 1) to its value (the caller gives
// 0 and 1 at the ends and handles NaN).  The curves are those of the common
// web easing functions with their published defaults: polynomial
// in/out/in-out pairs, sine, the exponential and elastic curves normalised to
// start exactly at 0 and end exactly at 1, back with overshoot 1.70158,
// elastic with amplitude 1 and period 0.3, and the four-bounce curve; and the
// polynomial, back and elastic families with any parameters.  Where the
// published formula cancels (1 - cos t near 0, 1 - (1 - t)^n, ...) the same
// function is computed in a form that does not.
//
// Every target gives the same bits: the curves call no function of the
// platform's maths library (whose sine, cosine and exponential differ between
// C libraries and between glibc's own builds), only IEEE-754 operations that
// round once each (the build forbids contraction and x87 arithmetic), exact
// ones (floor, square root, scaling by powers of two) and the sine, cosine,
// 2^x - 1 and base-2 logarithm below, which are polynomials on exactly
// reduced arguments.
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

constexpr DD split(double a) {
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

// Flattened (every helper inlined), as the families' shapes are: the
// module's unit is large enough for the compiler's inlining budget to leave
// value() out of line otherwise, which the benchmark's floor does not.
[[gnu::flatten]] inline Root bezier_root(const Cubic& x, double t) {
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

[[gnu::flatten]] inline DD bezier_y(const Cubic& y, Root r) { return dd_add(value(y, r.u), {slope_hi(y, r.u) * r.rest, 0}); }

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

// Made by tools/easing_kernels.py with mpmath: pi/2, pi^2/8, ln 2 and 1 / ln 2
// each split in two doubles (hi the nearest, lo the nearest to the rest), the
// tails' polynomials (lowest degree first) interpolated at Chebyshev nodes,
// coefficients rounded to the nearest double, and the logarithm's table below.
constexpr double half_pi_hi = 0x1.921fb54442d18p+0, half_pi_lo = 0x1.1a62633145c07p-54;
constexpr double pi2_8_hi = 0x1.3bd3cc9be45dep+0, pi2_8_lo = 0x1.692b71366cc04p-54;
constexpr double ln2_hi = 0x1.62e42fefa39efp-1, ln2_lo = 0x1.abc9e3b39803fp-56;
constexpr double log2e_hi = 0x1.71547652b82fep+0, log2e_lo = 0x1.777d0ffda0d24p-56;
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
// log2(1 + r) = r / ln 2 + r^2 log2p1_tail(r), |r| <= 0.0055: within 2^-64.4
constexpr double log2p1_tail[] = {-0x1.71547652b82fep-1, 0x1.ec709dc3a0406p-2, -0x1.71547652b8306p-2, 0x1.2776c50cc77f2p-2, -0x1.ec709dbfac317p-3, 0x1.a61bd35e0d3dep-3, -0x1.7158755d67815p-3};

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

// The product of two such pairs, as a pair, and rounded.
inline DD dd_mul(DD a, DD b) {
    DD p = two_prod(a.hi, b.hi);
    return quick_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}
inline double dd_product(DD a, DD b) {
    DD p = two_prod(a.hi, b.hi);
    return p.hi + (p.lo + (a.hi * b.lo + a.lo * b.hi));
}

// ---- the base-2 logarithm and powers of two ------------------------------------------
//
// log2 x = k + log2 m with m in [sqrt(2)/2, sqrt(2)), and log2 m = -log2(inv)
// + log2(1 + r), where inv is the table's reciprocal of the nearest 1 + i/128
// and r = m inv - 1, exact as a pair and below 0.0055: the table entry's
// pair, the leading r / ln 2 as a pair and the tail (below 2^-8 of it) in
// doubles give log2 x within about 2^-62 of it relatively, near 1 as well
// (where i = 0 and inv = 1), and within about 2^-70 absolutely.  A power t^e
// = 2^(e log2 t) then keeps its relative precision however large e log2 t is
// (down to 2^-1074).

// Each bin's reciprocal and -log2 of it as hi + lo (made by
// tools/easing_kernels.py).
struct LogEntry {
    double inv, lg_hi, lg_lo;
};
constexpr int log_first = -37;
constexpr LogEntry log_table[] = {
    {0x1.6816816816817p+0, -0x1.f804ae8d0cd04p-2, 0x1.7f26898edf303p-56},  // -37
    {0x1.642c8590b2164p+0, -0x1.e7df5fe538ab3p-2, 0x1.a6bba73a4b72bp-56},  // -36
    {0x1.6058160581606p+0, -0x1.d7e6c0abc357bp-2, 0x1.4a0f01ebcfde3p-57},  // -35
    {0x1.5c9882b931057p+0, -0x1.c819dc2d45fe4p-2, 0x1.a3fc6c5fa8c00p-56},  // -34
    {0x1.58ed2308158edp+0, -0x1.b877c57b1b06fp-2, -0x1.67605cac48719p-56},  // -33
    {0x1.5555555555555p+0, -0x1.a8ff971810a5dp-2, 0x1.64f1e45ceac62p-56},  // -32
    {0x1.51d07eae2f815p+0, -0x1.99b072a96c6b2p-2, 0x1.f985970c7a96cp-59},  // -31
    {0x1.4e5e0a72f0539p+0, -0x1.8a8980abfbd30p-2, -0x1.4e04c59d14c4dp-56},  // -30
    {0x1.4afd6a052bf5bp+0, -0x1.7b89f02cf2aafp-2, -0x1.9dea463052c2cp-56},  // -29
    {0x1.47ae147ae147bp+0, -0x1.6cb0f6865c8ebp-2, 0x1.c84aae3be625bp-56},  // -28
    {0x1.446f86562d9fbp+0, -0x1.5dfdcf1eeae0fp-2, 0x1.ac206233f7e96p-56},  // -27
    {0x1.4141414141414p+0, -0x1.4f6fbb2cec598p-2, -0x1.c8fcac637214fp-58},  // -26
    {0x1.3e22cbce4a902p+0, -0x1.4106017c3eca0p-2, -0x1.355746781a69ap-56},  // -25
    {0x1.3b13b13b13b14p+0, -0x1.32bfee370ee6ap-2, 0x1.484a01a34cd41p-57},  // -24
    {0x1.3813813813814p+0, -0x1.249cd2b13cd6fp-2, 0x1.6b4a82d7fe1a1p-56},  // -23
    {0x1.3521cfb2b78c1p+0, -0x1.169c05363f157p-2, -0x1.d12bf89dfaf60p-56},  // -22
    {0x1.323e34a2b10bfp+0, -0x1.08bce0d95fa36p-2, 0x1.07bb7f5aae567p-60},  // -21
    {0x1.2f684bda12f68p+0, -0x1.f5fd8a9063e32p-3, 0x1.4863f501fda67p-57},  // -20
    {0x1.2c9fb4d812ca0p+0, -0x1.dac22d3e441d6p-3, 0x1.f119e79f40af4p-59},  // -19
    {0x1.29e4129e4129ep+0, -0x1.bfc67a7fff4cap-3, 0x1.fd8e8cc786676p-57},  // -18
    {0x1.27350b8812735p+0, -0x1.a5094b54d2828p-3, 0x1.98dc4a74f5539p-58},  // -17
    {0x1.2492492492492p+0, -0x1.8a8980abfbd30p-3, 0x1.f0f9449d09a6fp-57},  // -16
    {0x1.21fb78121fb78p+0, -0x1.7046031c79f84p-3, -0x1.5be41b06e36f6p-61},  // -15
    {0x1.1f7047dc11f70p+0, -0x1.563dc29ffacafp-3, -0x1.4ef1a1c718c01p-58},  // -14
    {0x1.1cf06ada2811dp+0, -0x1.3c6fb650cde51p-3, -0x1.0be4fa2f11c07p-57},  // -13
    {0x1.1a7b9611a7b96p+0, -0x1.22dadc2ab3496p-3, -0x1.a27ffc9cb04f3p-59},  // -12
    {0x1.1811811811812p+0, -0x1.097e38ce6064ep-3, -0x1.99dad32e3848cp-57},  // -11
    {0x1.15b1e5f75270dp+0, -0x1.e0b1ae8f2fd56p-4, -0x1.0bd0ff2086d0cp-61},  // -10
    {0x1.135c81135c811p+0, -0x1.aed391ab6674ap-4, 0x1.90f87244276f2p-59},  // -9
    {0x1.1111111111111p+0, -0x1.7d60496cfbb4bp-4, 0x1.43262817eda5bp-61},  // -8
    {0x1.0ecf56be69c90p+0, -0x1.4c560fe68af8bp-4, 0x1.e9a084e2495d3p-61},  // -7
    {0x1.0c9714fbcda3bp+0, -0x1.1bb32a60054a2p-4, -0x1.d70b977e426afp-58},  // -6
    {0x1.0a6810a6810a7p+0, -0x1.d6ebd1f1fec14p-5, -0x1.27597bcf45294p-63},  // -5
    {0x1.0842108421084p+0, -0x1.77394c9d958d0p-5, 0x1.9db057278adc6p-59},  // -4
    {0x1.0624dd2f1a9fcp+0, -0x1.184b8e4c56afcp-5, -0x1.f4850f40e51c9p-59},  // -3
    {0x1.0410410410410p+0, -0x1.743ee861f353fp-6, -0x1.0868f1ace3ee3p-61},  // -2
    {0x1.0204081020408p+0, -0x1.72c7ba20f731cp-7, 0x1.7a34d25ca8edbp-62},  // -1
    {0x1.0000000000000p+0, 0x0.0p+0, 0x0.0p+0},  // 0
    {0x1.fc07f01fc07f0p-1, 0x1.6fe50b6ef085dp-7, 0x1.463d48b85f0c2p-64},  // 1
    {0x1.f81f81f81f820p-1, 0x1.6e79685c2d212p-6, 0x1.d49b0ada3a0c8p-60},  // 2
    {0x1.f44659e4a4271p-1, 0x1.11cd1d513341bp-5, 0x1.5f8bd2c8d414ep-62},  // 3
    {0x1.f07c1f07c1f08p-1, 0x1.6bad3758efd81p-5, 0x1.af90b696d7e10p-59},  // 4
    {0x1.ecc07b301ecc0p-1, 0x1.c4dfab90aab6ap-5, 0x1.fe72abfe9eeabp-59},  // 5
    {0x1.e9131abf0b767p-1, 0x1.0eb389fa29f9dp-4, -0x1.4171a24e24942p-58},  // 6
    {0x1.e573ac901e574p-1, 0x1.3aa2fdd27f1bfp-4, -0x1.fa374515f3944p-60},  // 7
    {0x1.e1e1e1e1e1e1ep-1, 0x1.663f6fac91318p-4, -0x1.1df362ae68bc6p-60},  // 8
    {0x1.de5d6e3f8868ap-1, 0x1.918a16e46335ep-4, 0x1.b9acb4dc3255fp-60},  // 9
    {0x1.dae6076b981dbp-1, 0x1.bc84240adabb9p-4, 0x1.0446f0f41f7cbp-59},  // 10
    {0x1.d77b654b82c34p-1, 0x1.e72ec117fa5adp-4, -0x1.30fc17715a264p-58},  // 11
    {0x1.d41d41d41d41dp-1, 0x1.08c588cda79e5p-3, 0x1.ad360c66fed99p-58},  // 12
    {0x1.d0cb58f6ec074p-1, 0x1.1dcd197552b7dp-3, -0x1.78c7111c9a72ep-57},  // 13
    {0x1.cd85689039b0bp-1, 0x1.32ae9e278ae19p-3, -0x1.9855ac57fff35p-60},  // 14
    {0x1.ca4b3055ee191p-1, 0x1.476a9f983f74dp-3, 0x1.e61c679fd0076p-58},  // 15
    {0x1.c71c71c71c71cp-1, 0x1.5c01a39fbd68bp-3, -0x1.f6dc21221666bp-57},  // 16
    {0x1.c3f8f01c3f8f0p-1, 0x1.70742d4ef0280p-3, -0x1.d95a7dbcc6993p-59},  // 17
    {0x1.c0e070381c0e0p-1, 0x1.84c2bd02f03b6p-3, -0x1.f84eecba83c8ep-59},  // 18
    {0x1.bdd2b899406f7p-1, 0x1.98edd077e70e1p-3, -0x1.97764e85ed0f6p-60},  // 19
    {0x1.bacf914c1bad0p-1, 0x1.acf5e2db4ec91p-3, 0x1.a70644c9f70f2p-60},  // 20
    {0x1.b7d6c3dda338bp-1, 0x1.c0db6cdd94defp-3, 0x1.85b1a824e6d56p-57},  // 21
    {0x1.b4e81b4e81b4fp-1, 0x1.d49ee4c32596cp-3, 0x1.cb858f16e12d5p-57},  // 22
    {0x1.b2036406c80d9p-1, 0x1.e840be74e6a4dp-3, -0x1.655b43c26275fp-58},  // 23
    {0x1.af286bca1af28p-1, 0x1.fbc16b902680dp-3, 0x1.94718f85f92e0p-61},  // 24
    {0x1.ac5701ac5701bp-1, 0x1.0790adbb03009p-2, -0x1.6bdc592e7d975p-56},  // 25
    {0x1.a98ef606a63bep-1, 0x1.11307dad30b74p-2, 0x1.47523d83ea177p-58},  // 26
    {0x1.a6d01a6d01a6dp-1, 0x1.1ac05b291f070p-2, 0x1.61471580a9b58p-56},  // 27
    {0x1.a41a41a41a41ap-1, 0x1.24407ab0e073ap-2, 0x1.a46a0cfd5da7cp-56},  // 28
    {0x1.a16d3f97a4b02p-1, 0x1.2db10fc4d9aaep-2, 0x1.02f77814ac1edp-57},  // 29
    {0x1.9ec8e951033d9p-1, 0x1.37124cea4cdedp-2, 0x1.05c3d2cf67559p-56},  // 30
    {0x1.9c2d14ee4a102p-1, 0x1.406463b1b0448p-2, 0x1.fd241480569abp-59},  // 31
    {0x1.999999999999ap-1, 0x1.49a784bcd1b8ap-2, -0x1.cc2d296ee388cp-56},  // 32
    {0x1.970e4f80cb872p-1, 0x1.52dbdfc4c96b5p-2, 0x1.ff7288d78220ap-57},  // 33
    {0x1.948b0fcd6e9e0p-1, 0x1.5c01a39fbd689p-2, 0x1.0f48164c23670p-58},  // 34
    {0x1.920fb49d0e229p-1, 0x1.6518fe4677ba6p-2, 0x1.254b5c0b8ba99p-56},  // 35
    {0x1.8f9c18f9c18fap-1, 0x1.6e221cd9d0cddp-2, 0x1.c2e2205e47646p-56},  // 36
    {0x1.8d3018d3018d3p-1, 0x1.771d2ba7efb3cp-2, -0x1.5cac151a2fa98p-58},  // 37
    {0x1.8acb90f6bf3aap-1, 0x1.800a563161c53p-2, -0x1.3c83c71cbe6b3p-57},  // 38
    {0x1.886e5f0abb04ap-1, 0x1.88e9c72e0b224p-2, 0x1.0c2033a4f6641p-58},  // 39
    {0x1.8618618618618p-1, 0x1.91bba891f170ap-2, 0x1.30395ac11db40p-57},  // 40
    {0x1.83c977ab2beddp-1, 0x1.9a802391e2330p-2, -0x1.7ba78836b5b85p-57},  // 41
    {0x1.8181818181818p-1, 0x1.a33760a7f6051p-2, -0x1.8ba864ee95507p-60},  // 42
    {0x1.7f405fd017f40p-1, 0x1.abe18797f1f4ap-2, 0x1.4be3a2a043d68p-56},  // 43
    {0x1.7d05f417d05f4p-1, 0x1.b47ebf73882a1p-2, 0x1.a63236ae58807p-64},  // 44
    {0x1.7ad2208e0ecc3p-1, 0x1.bd0f2e9e79032p-2, -0x1.799337667c7d9p-59},  // 45
    {0x1.78a4c8178a4c8p-1, 0x1.c592fad295b57p-2, -0x1.295fe9031806bp-57},  // 46
    {0x1.767dce434a9b1p-1, 0x1.ce0a4923a587dp-2, -0x1.86ed1fbe6bf74p-57},  // 47
    {0x1.745d1745d1746p-1, 0x1.d6753e032ea0ep-2, 0x1.16520bc0d0f59p-56},  // 48
    {0x1.724287f46debcp-1, 0x1.ded3fd442364cp-2, 0x1.9741831905d00p-56},  // 49
    {0x1.702e05c0b8170p-1, 0x1.e726aa1e754d3p-2, -0x1.d821361d7bb7ep-57},  // 50
    {0x1.6e1f76b4337c7p-1, 0x1.ef6d67328e220p-2, -0x1.619b4afe65de7p-56},  // 51
    {0x1.6c16c16c16c17p-1, 0x1.f7a8568cb06cep-2, -0x1.7e86fec6d27fap-57},  // 52
    {0x1.6a13cd1537290p-1, 0x1.ffd799a83ff9cp-2, -0x1.89a1406e32848p-57},  // 53
};

// An exponent e > 0 (finite) and its split, for exact products with a
// logarithm; from 2^512 on e 2^-512, and the logarithm is scaled by 2^512, so
// that neither split overflows.
struct Exponent {
    double e, scaled, log_scale;
    DD split;
};
constexpr Exponent make_exponent(double e) {
    bool huge = e >= 0x1p512;
    double scaled = huge ? e * 0x1p-512 : e;
    return {e, scaled, huge ? 0x1p512 : 1, split(scaled)};
}

// e log2(x.hi + x.lo) as a pair, for 0 < x.hi < 2^1023 (finite) and x.lo
// below half a unit in the last place of x.hi; -infinity for a product below
// -1080.  The products e (k - log2 inv) and e log2(1 + r) are exact pairs
// (k - log2 inv as a pair too: the table's part, apart from r, so that the
// two run side by side).
inline DD log2_times(DD x, const Exponent& e) {
    int k = 0;
    if (x.hi < 0x1p-1022) {  // a subnormal: its exponent bits are 0
        x = {x.hi * 0x1p64, x.lo * 0x1p64};
        k = -64;
    }
    std::uint64_t b = bits_of(x.hi);
    k += static_cast<int>(b >> 52) - 1023;
    double m = of_bits((b & 0x000fffffffffffff) | 0x3ff0000000000000), ml = x.lo * pow2(1023 - static_cast<int>(b >> 52));
    if (m >= 0x1.6a09e667f3bcdp+0) {  // above sqrt(2)
        m /= 2;
        ml /= 2;
        ++k;
    }
    const LogEntry& t = log_table[static_cast<int>(reduce(128 * (m - 1)).n) - log_first];
    DD a = two_sum(static_cast<double>(k), t.lg_hi);
    DD p = two_prod(m, t.inv);
    DD r = two_sum(p.hi - 1, p.lo + ml * t.inv);  // p.hi - 1 is exact
    DD l = two_prod(r.hi, log2e_hi);
    l.lo += (r.hi * log2e_lo + r.lo * log2e_hi) + r.hi * r.hi * estrin<0>(log2p1_tail, r.hi);
    if (!((a.hi + l.hi) * e.e >= -1080)) return {-std::numeric_limits<double>::infinity(), 0};
    DD pa = two_prod(a.hi * e.log_scale, e.scaled, e.split), pl = two_prod(l.hi * e.log_scale, e.scaled, e.split);
    DD s = two_sum(pa.hi, pl.hi);
    return quick_two_sum(s.hi, s.lo + ((pa.lo + pl.lo) + ((a.lo + t.lg_lo) + l.lo) * e.log_scale * e.scaled));
}

// 2^(x.hi + x.lo + shift) for -1080 <= x.hi < 1024 and x.lo below half a unit
// in the last place of x.hi, rounded once down to the normal range, and
// within a unit in the last place among the subnormals (rounded to 53 bits
// first).
inline double exp2_dd(DD x, int shift = 0) {
    Reduced q = reduce(x.hi);
    DD r = quick_two_sum(q.r, x.lo);  // q.r is 0 or at least an ulp of x.hi
    DD k = exp2m1_kernel(r.hi, r.lo);
    DD y = quick_two_sum(1, k.hi);
    double v = y.hi + (y.lo + k.lo);  // 2^r, in [sqrt(2)/2, sqrt(2)]
    int n = static_cast<int>(q.n) + shift;
    if (n > 1023) return v * pow2(n - 1) * 2;
    if (n >= -1021) return v * pow2(n);
    return v * pow2(n + 64) * 0x1p-64;
}

// log2 x and 2^x for every double x, for the tests.
inline double log2_of(double x) {
    constexpr Exponent one = make_exponent(1);
    if (x > 0 && x < 0x1p1023) return log2_times({x, 0}, one).hi;
    if (x > 0) return x < std::numeric_limits<double>::infinity() ? log2_times({x / 2, 0}, one).hi + 1 : x;
    return x == 0 ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
}
inline double exp2_of(double x) {
    if (x < -1080) return 0;
    if (x < 1024) return exp2_dd({x, 0});
    return x == x ? std::numeric_limits<double>::infinity() : x;
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

// back with overshoot s, and the sums of back_out's expansion, made once.
struct Back {
    double s, s1, s3, s3_half, s1_half;  // s, s + 1, s + 3, s + 3/2, (s + 1) / 2
};
constexpr Back make_back(double s) {
    s += 0.0;  // -0.0 is 0.0
    return {s, s + 1, s + 3, s + 1.5, (s + 1) / 2};
}
constexpr Back back_default = make_back(1.70158);

inline double back_in_with(const Back& b, double t) { return t * t * (b.s * (t - 1) + t); }
// 1 + (t - 1)^2 ((s + 1)(t - 1) + s); below t = 1/2, where that cancels,
// its expansion t ((s + 3) - t ((2s + 3) - (s + 1) t)), evaluated as
// t ((s + 3) - 2t ((s + 3/2) - (s + 1)/2 t)): the same roundings (halved),
// and no overshoot overflows 2s + 3.
inline double back_out_with(const Back& b, double t) {
    if (t < 0.5) return t * (b.s3 - (2 * t) * (b.s3_half - b.s1_half * t));
    t -= 1;
    return t * t * ((t + 1) * b.s + t) + 1;
}
inline double back_in_out_with(const Back& b, double t) {
    t *= 2;
    if (t < 1) return t * t * (b.s1 * t - b.s) / 2;
    t -= 2;
    return (t * t * (b.s1 * t + b.s) + 2) / 2;
}

inline double back_in(double t) { return back_in_with(back_default, t); }
inline double back_out(double t) { return back_out_with(back_default, t); }
inline double back_in_out(double t) { return back_in_out_with(back_default, t); }

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

// 1 - a, for a pair a in [0, 1].
inline DD one_minus(DD a) {
    DD r = two_sum(1, -a.hi);
    return {r.hi, r.lo - a.lo};
}

// elastic_out(t) = 1 - E(t) cos(40t/3 quarter turns), E the envelope
// 1 - expo_out(t), written as expo_out(t) + E(t) * 2 sin^2(20t/3 quarter
// turns): two terms that never cancel.
inline DD elastic_out_pair(double t) {
    DD fall = expo_fall(t);
    DD envelope = one_minus(fall);
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

// Four parabolic arcs of one curvature, reaching 1 at 4/11, 8/11, 10/11 and
// 1; each arc after the first is lowest half-way between its ends (6/11,
// 9/11, 21/22), at 3/4, 15/16 and 63/64.
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

// ---- the parameterised families --------------------------------------------------
//
// The polynomial curves with any exponent, back with any overshoot, elastic
// with any amplitude and period, as the published curves' factories make
// them.  A curve of a family holds its parameters, and what follows from
// them, in a FamilyParams filled once when it is made, and the shape of its
// kind: in, out or in-out.

// t^e 2^shift, t in (0, 1].
inline double poly_power(const Exponent& e, double t, int shift) {
    DD y = log2_times({t, 0}, e);
    return y.hi >= -1080 ? exp2_dd(y, shift) : 0;
}

// 1 - (1 - t)^e as a pair, t in (0, 1): 1 - t exactly (a pair), and where
// (1 - t)^e = 2^y is near 1, -(2^y - 1), which keeps its precision at tiny t.
// Below t = 2^-1000, where log2(1 - t) would lose bits among the subnormals,
// e t (1 - (e - 1) t / 2 + ...) is e t to well within its rounding.
inline DD poly_fall(const Exponent& e, double t) {
    if (t < 0x1p-1000 && e.e < 0x1p900) return {e.e * t, 0};
    DD y = log2_times(two_sum(1, -t), e);
    if (y.hi > -52) return dd_neg(exp2m1_dd(y.hi, y.lo));
    return quick_two_sum(1, y.hi >= -1080 ? -exp2_dd(y) : 0);
}

inline double poly_in_with(const Exponent& e, double t) { return poly_power(e, t, 0); }
inline double poly_out_with(const Exponent& e, double t) { return poly_fall(e, t).hi; }
inline double poly_in_out_with(const Exponent& e, double t) {
    t *= 2;
    if (t <= 1) return poly_power(e, t, -1);
    DD d = poly_fall(e, t - 1);
    DD s = two_sum(1, d.hi);
    return (s.hi + (s.lo + d.lo)) / 2;
}

// elastic with amplitude a >= 1 and period P, d3's
//
//     in(t)  = a tpmt(1 - t) sin(asin(1/a) + 2 pi (1 - t) / P),
//     out(t) = 1 - a tpmt(t) sin(asin(1/a) + 2 pi t / P),
//
// tpmt the envelope expo_in(1 - x).  With c = sqrt(a^2 - 1) (a cos of the
// phase asin(1/a)), a sin(asin(1/a) + x) = cos x + c sin x: no arcsine, and
// the phase carries no rounding.  out(t) = (1 - E) + E g with E = tpmt(t) and
// g = 1 - cos x - c sin x = 2 sin(x/2) (sin(x/2) - c cos(x/2)): terms that
// keep their precision near t = 0 (for a = 1 the named curve's form).
//
// The angles are counted in quarter turns: x/2 is t 2/P, a pair, reduced to
// its quadrant exactly.  From a period of 2^-40 down, where that pair would
// no longer fit below 2^51 quarter turns, progress is first reduced modulo
// the period exactly.  From an amplitude of 2^500 on, every term is scaled
// by 2^-k (unit) and the result by 2^k (scale), so that no pair overflows.
struct Elastic {
    double amplitude, period;  // as made: the amplitude at least 1
    DD slope;                  // c unit
    double unit, scale;
    DD turns;                  // 2/P, or with a modulus 4/modulus: quarter turns of x/2 per unit of progress
    DD turns_split;            // turns.hi, split
    double modulus, shift;     // for periods below 2^-40, 2P 2^128 and 2^128; else 0 and 1
    DD start;                  // out's slope at 0, times unit (for periods from 2^-40 on)
};

// A pair times a power of two.
inline DD dd_times(DD a, double unit) { return {a.hi * unit, a.lo * unit}; }

// c / q as a pair, for a small c > 0 and q > 0 finite.
inline DD dd_quotient(double c, double q) {
    if (q >= 0x1p512) {  // q's split would overflow
        DD r = dd_quotient(c, q * 0x1p-512);
        return {r.hi * 0x1p-512, r.lo * 0x1p-512};
    }
    double hi = c / q;
    DD p = two_prod(hi, q);
    return quick_two_sum(hi, ((c - p.hi) - p.lo) / q);
}

// sqrt(a^2 - 1) as a pair, for a >= 1 finite.
inline DD elastic_slope(double a) {
    if (a >= 0x1p26) return quick_two_sum(a, -0.5 / a);  // a - 1/(2a); the next term is below 2^-104 a
    DD sq = two_prod(a, a);
    DD v = two_sum(sq.hi, -1);
    v = quick_two_sum(v.hi, v.lo + sq.lo);
    if (v.hi == 0) return {0, 0};
    double root = std::sqrt(v.hi);
    DD back = two_prod(root, root);
    return quick_two_sum(root, (((v.hi - back.hi) - back.lo) + v.lo) / (2 * root));
}

// a and P finite, P > 0; a below 1 is taken as 1.  Filled in place, as a
// Bézier is.
inline void make_elastic(Elastic& e, double a, double period) {
    a = std::max(a, 1.0);
    int k = a >= 0x1p500 ? std::min(static_cast<int>(bits_of(a) >> 52) - 1023, 1022) : 0;
    e.amplitude = a;
    e.period = period;
    e.unit = pow2(-k);
    e.scale = pow2(k);
    DD c = elastic_slope(a);
    e.slope = {c.hi * e.unit, c.lo * e.unit};
    bool tiny = period < 0x1p-40;
    e.shift = tiny ? 0x1p128 : 1;
    e.modulus = tiny ? 2 * period * e.shift : 0;
    e.turns = tiny ? dd_quotient(4, e.modulus) : dd_quotient(2, period);
    e.turns_split = split(e.turns.hi);
    // 10 ln 2 / (1 - 2^-10) - 2 pi c / P: the envelope's fall and the wave's.
    DD fall = over_span(dd_mul({ln2_hi, ln2_lo}, 10 * 0x1p10));
    DD wave = dd_mul(dd_mul({half_pi_hi, half_pi_lo}, e.turns), {2 * e.slope.hi, 2 * e.slope.lo});
    e.start = dd_add(dd_times(fall, e.unit), dd_neg(wave));
}

// x - n m for the integer n nearest x / m (or one beside it: at most 3m/4
// is left), exactly, for |x| <= 2^129 and 2^-945 <= m < 2^90.  Each step
// takes off n m 2^j with the quotient x / (m 2^j) in [2^49, 2^51), whose
// product is exact as a pair, and leaves less than m 2^j, a multiple of its
// last place: a double.
inline double reduce_modulo(double x, double m) {
    int em = static_cast<int>(bits_of(m) >> 52);
    for (;;) {
        int j = static_cast<int>((bits_of(x) >> 52) & 0x7ff) - em - 50;
        double mj = j > 0 ? std::ldexp(m, j) : m;
        DD p = two_prod(reduce(x / mj).n, mj);
        x = (x - p.hi) - p.lo;
        if (j <= 0) return x;
    }
}

// x + n quarter turns, for a pair x with |x.hi| < 2^51, as the quadrant n mod
// 4 and r + rl, |r| <= 1/2 (but for rl's rounding): x.hi's nearest integer and
// then that of the rest, both exact.
struct ReducedPair {
    int quadrant;
    double r, rl;
};
inline ReducedPair reduce_pair(DD x) {
    Reduced a = reduce(x.hi);
    DD s = two_sum(a.r, x.lo);
    Reduced b = reduce(s.hi);
    DD r = two_sum(b.r, s.lo);
    return {a.quadrant + b.quadrant, r.hi, r.lo};
}

// x/2 = 2v/P quarter turns, times `times` (1 or 2), reduced, for a pair v in [0, 1].
inline ReducedPair elastic_angle(const Elastic& e, DD v, double times) {
    if (e.modulus != 0) v = two_sum(reduce_modulo(v.hi * e.shift, e.modulus), reduce_modulo(v.lo * e.shift, e.modulus));
    DD p = two_prod(v.hi, e.turns.hi, e.turns_split);
    DD h = quick_two_sum(p.hi, p.lo + (v.hi * e.turns.lo + v.lo * e.turns.hi));
    return reduce_pair({times * h.hi, times * h.lo});
}

// The sine and cosine of a reduced angle, one kernel each.
struct SinCos {
    DD sin, cos;
};
inline SinCos sin_cos_quarters(ReducedPair x) {
    DD a = sin_kernel(x.r, x.rl), b = cos_kernel(x.r, x.rl);
    DD s = (x.quadrant & 1) == 0 ? a : b, c = (x.quadrant & 1) == 0 ? b : a;
    return {(x.quadrant & 2) == 0 ? s : dd_neg(s), ((x.quadrant + 1) & 2) == 0 ? c : dd_neg(c)};
}

inline double elastic_in_with(const Elastic& e, double t) {
    SinCos x = sin_cos_quarters(elastic_angle(e, two_sum(1, -t), 2));
    DD wave = dd_add(dd_times(x.cos, e.unit), dd_mul(e.slope, x.sin));
    return dd_product(expo_rise(t), wave) * e.scale;
}
// out(t) / scale, as a pair.  Below t = 2^-900 (where the angles' pairs
// would lose bits among the subnormals) the curve is its tangent at 0 to far
// within a rounding.
inline DD elastic_out_pair_with(const Elastic& e, double t) {
    if (t < 0x1p-900 && e.modulus == 0) {
        DD p = two_prod(t, e.start.hi);
        return quick_two_sum(p.hi, p.lo + t * e.start.lo);
    }
    SinCos h = sin_cos_quarters(elastic_angle(e, {t, 0}, 1));
    DD g = dd_mul(h.sin, dd_add(dd_times(h.sin, e.unit), dd_neg(dd_mul(e.slope, h.cos))));
    DD fall = expo_fall(t);
    return dd_add(dd_times(fall, e.unit), dd_mul(one_minus(fall), {2 * g.hi, 2 * g.lo}));
}
inline double elastic_out_with(const Elastic& e, double t) { return elastic_out_pair_with(e, t).hi * e.scale; }
inline double elastic_in_out_with(const Elastic& e, double t) {
    if (t * 2 - 1 < 0) return elastic_in_with(e, t * 2) / 2;
    DD o = elastic_out_pair_with(e, t * 2 - 1);
    DD s = two_sum(e.unit, o.hi);
    return (s.hi + (s.lo + o.lo)) * e.scale / 2;
}

// A family's curve: its parameters and the shape of its kind.
struct FamilyParams {
    Exponent poly;
    Back back;
    Elastic elastic;
};
using FamilyShape = double (*)(const FamilyParams&, double);

enum class Family : unsigned char { poly, back, elastic };
enum Ease : unsigned char { ease_in, ease_out, ease_in_out };

// Each shape is flattened: every helper it calls inlined into it, as in the
// benchmark's small floor module, whatever the including unit's size leaves
// the compiler's inlining budget.
template <double (*F)(const Exponent&, double)>
[[gnu::flatten]] double poly_family(const FamilyParams& p, double t) {
    return F(p.poly, t);
}
template <double (*F)(const Back&, double)>
[[gnu::flatten]] double back_family(const FamilyParams& p, double t) {
    return F(p.back, t);
}
template <double (*F)(const Elastic&, double)>
[[gnu::flatten]] double elastic_family(const FamilyParams& p, double t) {
    return F(p.elastic, t);
}
template <Shape S>
double named_family(const FamilyParams&, double t) {
    return S(t);
}

// By kind (in, out, in-out).
inline constexpr FamilyShape poly_shapes[] = {poly_family<poly_in_with>, poly_family<poly_out_with>,
                                              poly_family<poly_in_out_with>};
inline constexpr FamilyShape back_shapes[] = {back_family<back_in_with>, back_family<back_out_with>,
                                              back_family<back_in_out_with>};
inline constexpr FamilyShape elastic_shapes[] = {elastic_family<elastic_in_with>, elastic_family<elastic_out_with>,
                                                 elastic_family<elastic_in_out_with>};
// The exponents 1 to 5 are the named curves, with their arithmetic.
inline constexpr FamilyShape poly_whole_shapes[][3] = {
    {named_family<linear>, named_family<linear>, named_family<linear>},
    {named_family<quad_in>, named_family<quad_out>, named_family<quad_in_out>},
    {named_family<cubic_in>, named_family<poly_out<3>>, named_family<cubic_in_out>},
    {named_family<poly_in<4>>, named_family<poly_out<4>>, named_family<poly_in_out<4>>},
    {named_family<poly_in<5>>, named_family<poly_out<5>>, named_family<poly_in_out<5>>},
};
inline FamilyShape poly_shape(double e, Ease ease) {
    if (e >= 1 && e <= 5 && e == std::floor(e)) return poly_whole_shapes[static_cast<int>(e) - 1][ease];
    return poly_shapes[ease];
}

// Fills in the parameters of a family's curve, (exponent), (overshoot) or
// (amplitude, period), and gives its shape.
inline FamilyShape make_family(FamilyParams& p, Family family, Ease ease, double a, double b) {
    switch (family) {
    case Family::poly:
        p.poly = make_exponent(a);
        return poly_shape(a, ease);
    case Family::back:
        p.back = make_back(a);
        return back_shapes[ease];
    case Family::elastic:
        make_elastic(p.elastic, a, b);
        return elastic_shapes[ease];
    }
    return nullptr;
}

// The named curves of the families, with the published defaults.
struct NamedFamily {
    const char* name;
    Family family;
    Ease ease;
};
inline constexpr NamedFamily named_families[] = {
    {"poly_in", Family::poly, ease_in},          {"poly_out", Family::poly, ease_out},
    {"poly_in_out", Family::poly, ease_in_out},  {"back_in", Family::back, ease_in},
    {"back_out", Family::back, ease_out},        {"back_in_out", Family::back, ease_in_out},
    {"elastic_in", Family::elastic, ease_in},    {"elastic_out", Family::elastic, ease_out},
    {"elastic_in_out", Family::elastic, ease_in_out},
};
constexpr double poly_default = 3, elastic_amplitude_default = 1, elastic_period_default = 0.3;

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
    {"poly_in", cubic_in},
    {"poly_out", poly_out<3>},
    {"poly_in_out", cubic_in_out},
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
    {"log2", log2_of},
    {"exp2", exp2_of},
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
