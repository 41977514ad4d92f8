// Reads {"grid": [...], "beziers": [[x1, y1, x2, y2], ...], "families":
// [{"curve": "elastic_in", "params": {"amplitude": 1.5, "period": 0.2}}, ...]}
// on standard input and writes the npm references' values on that grid as
// JSON: d3-ease with its defaults, keyed by this package's curve names, d3's
// parameterised curves (its methods called in the order given), and
// bezier-easing for each parameter set.  tools/easing_golden.py runs a copy
// of it placed beside the folder node_modules that holds the two packages.
import * as d3 from "d3-ease";
import bezierEasing from "bezier-easing";
import { readFileSync } from "node:fs";

const input = JSON.parse(readFileSync(0, "utf8"));
const families = {
    quad: [d3.easeQuadIn, d3.easeQuadOut, d3.easeQuadInOut],
    cubic: [d3.easeCubicIn, d3.easeCubicOut, d3.easeCubicInOut],
    quart: [d3.easePolyIn.exponent(4), d3.easePolyOut.exponent(4), d3.easePolyInOut.exponent(4)],
    quint: [d3.easePolyIn.exponent(5), d3.easePolyOut.exponent(5), d3.easePolyInOut.exponent(5)],
    poly: [d3.easePolyIn, d3.easePolyOut, d3.easePolyInOut],
    sine: [d3.easeSinIn, d3.easeSinOut, d3.easeSinInOut],
    expo: [d3.easeExpIn, d3.easeExpOut, d3.easeExpInOut],
    circ: [d3.easeCircleIn, d3.easeCircleOut, d3.easeCircleInOut],
    back: [d3.easeBackIn, d3.easeBackOut, d3.easeBackInOut],
    elastic: [d3.easeElasticIn, d3.easeElasticOut, d3.easeElasticInOut],
    bounce: [d3.easeBounceIn, d3.easeBounceOut, d3.easeBounceInOut],
};
const curves = { linear: d3.easeLinear };
for (const [family, [i, o, io]] of Object.entries(families)) {
    curves[`${family}_in`] = i;
    curves[`${family}_out`] = o;
    curves[`${family}_in_out`] = io;
}
const d3values = {};
for (const [name, f] of Object.entries(curves)) d3values[name] = input.grid.map((t) => f(t));
const made = input.families.map(({ curve, params }) => {
    let f = curves[curve];
    for (const [method, value] of Object.entries(params)) f = f[method](value);
    return input.grid.map((t) => f(t));
});
const beziers = input.beziers.map((p) => {
    const f = bezierEasing(...p);
    return input.grid.map((t) => f(t));
});
const version = (name) =>
    JSON.parse(readFileSync(new URL(`./node_modules/${name}/package.json`, import.meta.url), "utf8")).version;
process.stdout.write(JSON.stringify({
    versions: { "d3-ease": version("d3-ease"), "bezier-easing": version("bezier-easing"), node: process.version },
    d3: d3values,
    d3_families: made,
    beziers,
}));
