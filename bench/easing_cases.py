"""The easing rows of the benchmark (bench/run.py adds them).

- "_GlideCell gliding, easing.linear" and "GlideCell gliding, easing.linear":
  get_value() of a gliding cell whose interpolation function is
  easing.linear, against the same cell with the Python lambda users write
  (target: at least 1.5 times faster), and against the floor cell of the
  glide rows calling easing.linear, held to the glide rows' floor target: the
  public GlideCell, a Python subclass, against the floor's Python subclass,
  which makes the same two override lookups.
- one row per curve (and a Bézier, a step and a linear() curve made by the
  factories, and a curve of each family at other parameters), called with
  three floats as a glide cell calls it, against pytweening's function of
  that curve with the lerp in a Python lambda (with the family's parameters;
  a Python formula where pytweening has no such curve; target: at least 2.5
  times faster), and against the floor _qmeasefloor.Lerp, a minimal C
  callable of the same call shape computing the same curve with the
  package's own curve code (target: at most 1.15 times its time).
"""

import math

import _qmeasefloor
from Quillmoor.utils import easing

try:
    import pytweening
except ImportError:  # the rows then set the package against the Python formulas alone
    pytweening = None

PYTWEENING = {"quad": "Quad", "cubic": "Cubic", "quart": "Quart", "quint": "Quint", "poly": "Poly", "sine": "Sine",
              "expo": "Expo", "circ": "Circ", "back": "Back", "elastic": "Elastic", "bounce": "Bounce"}
# A curve of each family at other parameters, as its methods take them.
FAMILY_ROWS = [("poly_out", {"exponent": 2.5}), ("back_out", {"overshoot": 2.5}),
               ("elastic_out", {"amplitude": 1.5, "period": 0.2})]
CSS_EASE = (0.25, 0.1, 0.25, 1.0)


def smoothstep(t):
    t = min(max(t, 0.0), 1.0)
    return t * t * (3 - 2 * t)


def smootherstep(t):
    t = min(max(t, 0.0), 1.0)
    return t * t * t * (t * (t * 6 - 15) + 10)


def python_bezier(x1, y1, x2, y2):
    """The CSS curve in Python: Newton's method on x, then y."""
    cx, cy = 3 * x1, 3 * y1
    bx, by = 3 * (x2 - x1) - cx, 3 * (y2 - y1) - cy
    ax, ay = 1 - cx - bx, 1 - cy - by

    def at(t):
        u = t
        for _ in range(8):
            f = ((ax * u + bx) * u + cx) * u - t
            d = (3 * ax * u + 2 * bx) * u + cx
            if abs(f) < 1e-12 or d == 0:
                break
            u -= f / d
        return ((ay * u + by) * u + cy) * u

    return at


def python_steps(n, jump_at_start, jumps):
    return lambda t: min(math.floor(min(max(t, 0.0), 1.0) * n + jump_at_start), jumps) / jumps


def python_stops(points):
    """CSS linear() in Python, on placed (input, output) points."""
    def at(t):
        t = min(max(t, 0.0), 1.0)
        i = max([k for k, (x, _) in enumerate(points[:-1]) if x <= t] or [0])
        (a, p), (b, q) = points[i], points[i + 1]
        return q if a == b else p + (t - a) / (b - a) * (q - p)
    return at


STOPS = [(0.0, 0.0), (0.45, 1.2), (0.6, 0.9), (1.0, 1.0)]
KEYWORD_BEZIERS = {"ease": CSS_EASE, "ease_in": (0.42, 0, 1, 1), "ease_out": (0, 0, 0.58, 1),
                   "ease_in_out": (0.42, 0, 0.58, 1)}


def pure_shape(name, params=()):
    if name in KEYWORD_BEZIERS:
        return python_bezier(*KEYWORD_BEZIERS[name])
    if name == "cubic_bezier":
        return python_bezier(*CSS_EASE)
    if name in ("step_start", "step_end", "steps"):
        return {"step_start": python_steps(1, 1, 1), "step_end": python_steps(1, 0, 1),
                "steps": python_steps(4, 1, 5)}[name]
    if name == "linear_stops":
        return python_stops(STOPS)
    if name in ("smoothstep", "smootherstep"):
        return {"smoothstep": smoothstep, "smootherstep": smootherstep}[name]
    if name == "linear":
        return pytweening.linear if pytweening else (lambda t: t)
    family, _, kind = name.partition("_")
    prefix = {"in": "easeIn", "out": "easeOut", "in_out": "easeInOut"}[kind]
    shape = getattr(pytweening, prefix + PYTWEENING[family])
    if family == "poly" and not params:
        params = (3,)  # pytweening's default degree is 2
    return (lambda t: shape(t, *params)) if params else shape


def lerp_with(shape):
    return lambda a, b, p: a + (b - a) * shape(p)


def gliding(cls, func):
    c = cls(func, 1e9, 0.0)
    c.set_value(10.0)
    return c


def cases(Case, Impl, cells):
    """The rows; `cells` are run.py's glide cells (label, class, pure class, floor class, plain)."""
    out = []
    linear_lambda = lambda a, b, p: a + (b - a) * p  # noqa: E731 - what users write
    for label, cls, _, floor_cls, plain in cells:
        out.append(Case(
            f"{label} gliding, easing.linear", "easing glide",
            {"pkg": Impl("c.get_value()", lambda k=cls: {"c": gliding(k, easing.linear)}),
             "pure": Impl("c.get_value()", lambda k=cls: {"c": gliding(k, linear_lambda)}),
             "floor": Impl("c.get_value_gliding()", lambda k=floor_cls: {"c": k(1e9, easing.linear, 0.0, 10.0)})},
            plain=plain, lookups=None if plain else 2))
    rows = [(c.__name__, c, _qmeasefloor.Lerp(c.__name__), ()) for c in easing.curves]
    rows.append(("cubic_bezier", easing.cubic_bezier(*CSS_EASE), _qmeasefloor.Lerp(*CSS_EASE), ()))
    rows.append(("steps", easing.steps(4, "jump-both"), _qmeasefloor.Lerp("steps", 4, 3), ()))
    rows.append(("linear_stops", easing.linear_stops(*((o, i) for i, o in STOPS)),
                 _qmeasefloor.Lerp("linear", *(x for p in STOPS for x in p)), ()))
    for name, params in FAMILY_ROWS:
        curve = getattr(easing, name)
        for method, value in params.items():
            curve = getattr(curve, method)(value)
        rows.append((name, curve, _qmeasefloor.Lerp(name, *params.values()), tuple(params.values())))
    for name, curve, floor, params in rows:
        family, _, kind = name.partition("_")
        if pytweening is None and family in PYTWEENING and kind in ("in", "out", "in_out"):
            continue
        env = {"a": 2.0, "b": 10.0, "p": 0.3}
        # Each implementation computes the same value (pytweening's curve may differ, see the README).
        assert curve(2.0, 10.0, 0.3) == floor(2.0, 10.0, 0.3) and math.isfinite(curve(2.0, 10.0, 0.3))
        label = repr(curve)[len("Quillmoor.utils.easing."):] if params else name
        out.append(Case(
            f"{label}(a, b, p)", "easing",
            {"pkg": Impl("f(a, b, p)", lambda c=curve: {"f": c, **env}),
             "pure": Impl("f(a, b, p)", lambda n=name, q=params: {"f": lerp_with(pure_shape(n, q)), **env}),
             "floor": Impl("f(a, b, p)", lambda f=floor: {"f": f, **env})}))
    return out


def verdict(row):
    """ok or MISS against the curve rows' targets."""
    return "ok" if row["floor_ratio"] <= 1.15 and row["speedup"] >= 2.5 else "MISS"


def missed_speedup(row):
    """["speedup"] where a glide row misses its speed-up target, else [] (run.py judges the floor)."""
    return ["speedup"] if row["group"] == "easing glide" and row["speedup"] < 1.5 else []
