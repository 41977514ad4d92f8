"""Fits the polynomials of the easing curves' own sine, cosine, 2^x - 1 and
logarithm (src/Quillmoor/utils/easing_curves.hpp) and prints them as C++
hex-float literals, with each fit's largest error, and the logarithm's table.  Run it inside the toolchain root,
which has mpmath:

    ./dev shell -c 'python3 tools/easing_kernels.py'

Each function is its leading term, carried exactly by the C++ code with the
constant split in two doubles (hi + lo), plus a tail polynomial fitted here:

- sin(pi/2 r) = r (pi/2 + z P(z)),          z = r^2, |r| <= 1/2;
- cos(pi/2 r) = 1 - (pi^2/8) z + z^2 Q(z),  z = r^2, |r| <= 1/2;
- 2^r - 1     = r ln 2 + r^2 R(r),          |r| <= 1/2;
- log2(1 + r) = r / ln 2 + r^2 T(r),        |r| <= 0.0055.

The logarithm's r is what is left of a mantissa m in [sqrt(2)/2, sqrt(2))
once it is multiplied by the entry of the table for the nearest 1 + i/128:
inv, the double nearest 1 / (1 + i/128), so that r = m inv - 1 is small
(and exact as a pair), and -log2(inv) as hi + lo.  The entry for i = 0 is
exactly 1 and 0, so that near 1 the logarithm keeps its relative precision.

The tails are interpolated at Chebyshev nodes (mpmath.chebyfit, 60 digits),
which is within a fraction of a bit of the minimax polynomial, and rounded to
the nearest double.  The error printed is that of the rounded polynomial,
measured at 20,001 points, as a fraction of the function's value: it must
stay far below 2^-53 so that the rounding of the sum decides the result.
"""

import mpmath as mp

mp.mp.dps = 60
HALF_PI = mp.pi / 2
LN2 = mp.log(2)
# The mantissas the logarithm reduces to, [sqrt(2)/2, sqrt(2)) in doubles, and its table's bins.
LOG_M = (float.fromhex("0x1.6a09e667f3bcdp-1"), float.fromhex("0x1.6a09e667f3bcdp+0"))
LOG_BINS = range(-37, 54)


def split(c):
    """c as hi + lo: the nearest double and the nearest double to the rest."""
    hi = float(c)
    return hi, float(c - mp.mpf(hi))


def sin_tail(z):
    if z == 0:
        return -HALF_PI ** 3 / 6
    r = mp.sqrt(z)
    return (mp.sin(HALF_PI * r) / r - HALF_PI) / z


def cos_tail(z):
    if z == 0:
        return HALF_PI ** 4 / 24
    return (mp.cos(HALF_PI * mp.sqrt(z)) - 1 + HALF_PI ** 2 / 2 * z) / z ** 2


def exp2m1_tail(r):
    if r == 0:
        return LN2 ** 2 / 2
    return (mp.power(2, r) - 1 - r * LN2) / r ** 2


def log2p1_tail(r):
    if r == 0:
        return -1 / (2 * LN2)
    return (mp.log1p(r) / LN2 - r / LN2) / r ** 2


def log_table():
    """(i, inv, -log2(inv)) for each bin, and the largest |r| = |m inv - 1|
    of the mantissas m that round to the bin (the ends included)."""
    rows, r_max = [], mp.mpf(0)
    for i in LOG_BINS:
        c = 1 + mp.mpf(i) / 128
        inv = float(1 / c)
        lo, hi = max(c - mp.mpf(1) / 256, mp.mpf(LOG_M[0])), min(c + mp.mpf(1) / 256, mp.mpf(LOG_M[1]))
        r_max = max(r_max, abs(lo * inv - 1), abs(hi * inv - 1))
        rows.append((i, inv, -mp.log(inv, 2)))
    return rows, r_max


LOG_ROWS, LOG_R = log_table()

# name, tail, interval, coefficients, the function whose value the error is measured against,
# and how the tail enters it (the factor the tail is multiplied by, as a function of the variable).
FITS = [
    ("sin_tail", sin_tail, (0, 0.25), 7, lambda z: mp.sin(HALF_PI * mp.sqrt(z)), lambda z: mp.sqrt(z) ** 3),
    ("cos_tail", cos_tail, (0, 0.25), 6, lambda z: mp.cos(HALF_PI * mp.sqrt(z)), lambda z: z ** 2),
    ("exp2m1_tail", exp2m1_tail, (-0.5, 0.5), 11, lambda r: mp.power(2, r) - 1, lambda r: r ** 2),
    ("log2p1_tail", log2p1_tail, (-LOG_R, LOG_R), 7, lambda r: mp.log1p(r) / LN2, lambda r: r ** 2),
]


def fit(tail, interval, n):
    """The n coefficients, lowest degree first, rounded to doubles."""
    poly, _ = mp.chebyfit(tail, interval, n, error=True)
    return [float(c) for c in reversed(poly)]


def worst_error(coeffs, tail, interval, value, factor, points=20001):
    a, b = interval
    worst = mp.mpf(0)
    for i in range(points):
        v = mp.mpf(a) + (mp.mpf(b) - a) * i / (points - 1)
        if v == 0:
            continue
        p = mp.polyval([mp.mpf(c) for c in reversed(coeffs)], v)
        worst = max(worst, abs((p - tail(v)) * factor(v) / value(v)))
    return worst


def main():
    print("// pi/2, pi^2/8, ln 2 and 1 / ln 2 as hi + lo")
    for name, c in (("half_pi", HALF_PI), ("pi2_8", mp.pi ** 2 / 8), ("ln2", LN2), ("log2e", 1 / LN2)):
        hi, lo = split(c)
        print(f"constexpr double {name}_hi = {hi.hex()}, {name}_lo = {lo.hex()};")
    for name, tail, interval, n, value, factor in FITS:
        coeffs = fit(tail, interval, n)
        err = worst_error(coeffs, tail, interval, value, factor)
        print(f"// {name}: largest error 2^{mp.nstr(mp.log(err, 2), 4)} of the value")
        print(f"constexpr double {name}[] = {{" + ", ".join(c.hex() for c in coeffs) + "};")
    print(f"// the logarithm's table: bins {LOG_BINS[0]} to {LOG_BINS[-1]}, |r| <= {mp.nstr(LOG_R, 6)}")
    print(f"constexpr int log_first = {LOG_BINS[0]};")
    print("constexpr LogEntry log_table[] = {")
    for i, inv, lg in LOG_ROWS:
        hi, lo = split(lg)
        print(f"    {{{inv.hex()}, {hi.hex()}, {lo.hex()}}},  // {i}")
    print("};")


if __name__ == "__main__":
    main()
