// Writes the CSS easing table the easing tests read: what headless Chromium
// gives for each CSS easing-function text on a grid of progress values, and
// which texts it rejects, so that the tests need no browser.  `./dev golden`
// runs this inside the root, where chromium and node are installed.
//
//     node tools/css_golden.mjs OUT_JSON
//
// Each text becomes the easing of a 1 ms animation effect that fills both
// ways.  The effect sits at time 0 (its active phase) with its iteration
// start set to the progress t, so the easing reads t itself: a time in
// milliseconds would pass through a conversion to seconds that misses some
// doubles by an ulp, and Chromium snaps times within a microsecond of the
// effect's ends.  t = 1 is read at the end time instead (the after phase),
// since an iteration start of 1 begins the next iteration.  Before writing,
// the method is checked on values known by hand, `linear` must give back
// every t read, and every curve must give the same when a time reaches t
// (at the i/64 where one does) as when the iteration start does.
//
// The table: {"chromium": version, "curves": [{"css": text, "points":
// [[t, value], ...]}, ...], "invalid": [texts], "made_by": this tool}; the
// points of each curve are i/64 for i = 0..64 plus its own boundaries (a step's
// edges, a linear() stop's input, the doubles either side of each; a cubic
// Bézier's ends), and every number round-trips exactly.
import { writeFileSync } from "node:fs";
import { openChromium } from "./chromium.mjs";

const KEYWORDS = ["linear", "ease", "ease-in", "ease-out", "ease-in-out", "step-start", "step-end"];

// The keywords' own, overshooting ones, vertical tangents at either end, a
// curve that turns back, the straight line, and control points on the ends.
const BEZIERS = [
  [0.25, 0.1, 0.25, 1], [0.42, 0, 1, 1], [0, 0, 0.58, 1], [0.42, 0, 0.58, 1],
  [0.68, -0.6, 0.32, 1.6], [0.68, -0.55, 0.265, 1.55], [0.36, 0, 0.66, -0.56], [0.5, -2, 0.5, 3],
  [1, 0, 0, 1], [0, 1, 1, 0], [0.1, 0.7, 1, 0.1], [0, 0, 1, 1], [0.3, 0.3, 0.7, 0.7],
  [0, 0, 0, 1], [1, 0, 1, 1], [0.17, 0.67, 0.83, 0.67],
].map((p) => `cubic-bezier(${p.join(", ")})`);

const STEP_POSITIONS = [null, "jump-start", "jump-end", "jump-none", "jump-both", "start", "end"];
const STEPS = [1, 2, 3, 4, 5, 10].flatMap((n) =>
  STEP_POSITIONS.map((position) => (position ? `steps(${n}, ${position})` : `steps(${n})`)));

const LINEARS = [
  "linear(0, 1)",
  "linear(1, 0)",
  "linear(0, 0.25, 1)",                           // one input filled in
  "linear(0, 0.1, 0.2, 0.7, 1)",                  // a run of three
  "linear(0, 0.3 25%, 0.2, 0.6, 0.9, 1)",         // a run after a given input
  "linear(0, 0.25 75%, 1)",
  "linear(0, 0.5 20% 80%, 1)",                    // one stop, two inputs: a flat stretch
  "linear(0 0% 10%, 1 90% 100%)",
  "linear(0, 0.9 80%, 0.2 40%, 1)",               // an input going backwards
  "linear(0, 0.9 80%, 0.2 40%, 0.5, 1)",          // then a run after it
  "linear(0, 0.5 -10%, 1)",
  "linear(0 -20%, 1 120%)",                       // ends outside 0%-100%
  "linear(0.2 -50%, 0.8 150%)",
  "linear(0, 0.3 50%, 0.7 50%, 1)",               // equal inputs: a jump
  "linear(0, 0 50%, 1 50%, 1)",
  "linear(0, 0.2 30%, 0.4 30%, 0.6 30%, 1)",      // three stops on one input
  "linear(0 20%, 1 80%)",                         // ends away from 0% and 100%
  "linear(0.1 30%, 0.9)",
  "linear(0, 1.2 60%, 0.9 80%, 1)",               // outputs outside [0, 1]
  "linear(0, -0.3 30%, 1)",
  "linear(0.5)",                                  // a single stop
  "linear(0.5 30%)",
  // A spring as a design tool exports it.
  "linear(0, 0.043, 0.158 4%, 0.325, 0.522 8%, 0.728 10%, 0.971 12.5%, 1.171, 1.312 17.5%, 1.387 20%, " +
    "1.388 23.5%, 1.298 27%, 1.181 30%, 0.985, 0.863 40%, 0.843, 0.899 50%, 0.981, 1.043 60%, 1.051, " +
    "0.99 80%, 0.977, 1)",
];

// As a designer might paste them: case, spacing, number syntax, comments,
// the percentage before the output, an unclosed parenthesis, calc().
const VARIANTS = [
  "EASE-IN", "Ease-Out", "LINEAR", "Step-End", "  steps( 4 ,JUMP-BOTH ) ", "STEPS(2, START)", "\tease\n",
  "cubic-bezier(.42,0,.58,1)", "CUBIC-BEZIER(0.25, 0.1, 0.25, 1.0)", "cubic-bezier(0.25,\n  0.1, 0.25, 1)",
  "cubic-bezier(1e-1, 0.7, 1E0, 1e-1)", "cubic-bezier(+.25, +.1, +.25, +1)", "cubic-bezier(0.42, 0, 0.58, 1",
  "linear(0,.5 50%,1)", "Linear(0, 0.5 50.0%, 1)", "linear(0, 5e-1 5e1%, 1)", "linear(0, +.5 +50%, 1)",
  "linear(0, 50% 0.5, 1)", "linear(0, 20% 0.5 80%, 1)", "linear(0, 0.5 50%, 1",
  "steps(+4)", "steps(4, end", "steps(04, jump-none)",
  "/* in */ ease-in", "steps(4 /* four */, jump-end)", "linear(0, 0.5/**/50%, 1)", "cubic-bezier(0.42,/*x*/0,0.58,1)",
  "steps(calc(2 + 2))", "cubic-bezier(calc(0.1 + 0.32), 0, 0.58, 1)", "linear(0, 0.5 calc(25% + 25%), 1)",
];

// Expected to be rejected; the table records what the browser does.  A text
// is accepted when KeyframeEffect takes it as its easing: the property
// animation-timing-function, which CSS.supports asks about, takes a list and
// the CSS-wide keywords as well.
const MALFORMED = [
  "", "   ", "none", "initial", "ease-inn", "easeIn", "ease_in", "ease in", "ease, linear", "ease;", "cubic-bezier(0,0,1,1) x",
  "steps(0)", "steps(1, jump-none)", "steps(2.5)", "steps(-1)", "steps(4.0)", "steps(1e1)", "steps()", "steps(4,)",
  "steps(4, jump-middle)", "steps(4 jump-end)", "steps(jump-end, 4)", "steps(4, end, start)", "steps (4)",
  "cubic-bezier(1.1, 0, 0, 1)", "cubic-bezier(-0.1, 0, 0, 1)", "cubic-bezier(0, 0, 1)", "cubic-bezier(0, 0, 1, 1, 0)",
  "cubic-bezier(0 0 1 1)", "cubic-bezier(0, 0, 1, 1%)", "cubic-bezier(0, 0, 1, 1),", "cubic-bezier (0, 0, 1, 1)",
  "linear()", "linear(0, 50%)", "linear(0 1 2 3, 1)", "linear(0 10% 20% 30%, 1)", "linear(0, 0.5 50, 1)",
  "linear(0, 0.5 50px, 1)", "linear(0,, 1)", "linear(0 1)",
];

const TEXTS = [...new Set([...KEYWORDS, ...BEZIERS, ...STEPS, ...LINEARS, ...VARIANTS, ...MALFORMED])];

// Values known by hand, each holding the method to one thing it relies on.
const CHECKS = [
  ["steps(4)", 0.3, 0.25],
  ["steps(4, jump-start)", 0, 0.25],  // the active phase at 0, not the before phase
  ["steps(4, jump-end)", 1, 1],       // the after phase at 1
  ["steps(3, jump-both)", 0.5, 0.5],
  ["steps(2, jump-none)", 0.5, 1],
  ["linear", 0.3, 0.3],
  ["linear(0, 0.25 75%, 1)", 0.75, 0.25],
  ["ease", 0, 0],
  ["ease", 1, 1],
];

const bits = new Float64Array(1);
const word = new BigInt64Array(bits.buffer);
function nextAfter(x, direction) {  // x in [0, 1], direction ±1
  if (x === 0) return direction * Number.MIN_VALUE;
  bits[0] = x;
  word[0] += BigInt(direction);
  return bits[0];
}

const GRID = Array.from({ length: 65 }, (_, i) => i / 64);
// Where a cubic Bézier's solver works hardest: the ends, where the tangent may be vertical.
const BEZIER_ENDS = [1e-9, 1e-6, 1e-3, 1 - 1e-3, 1 - 1e-6, 1 - 1e-9, 1 / 3, 2 / 3];

// A curve's own boundaries, read from its text; an argument list this does
// not follow (calc()) leaves the curve on the grid alone.
function boundaries(css) {
  const text = css.replace(/\/\*[\s\S]*?\*\//g, " ").trim().toLowerCase();
  if (text === "step-start" || text === "step-end") return [0, 1];
  if (/^ease(-in|-out|-in-out)?$/.test(text)) return BEZIER_ENDS;
  const call = /^([a-z-]+)\(([^()]*)\)?$/.exec(text);
  if (!call) return [];
  const args = call[2].split(",").map((a) => a.trim());
  if (call[1] === "cubic-bezier") return BEZIER_ENDS;
  if (call[1] === "steps") {
    const n = Number(args[0]);
    if (!Number.isInteger(n) || n < 1) return [];
    const edges = Array.from({ length: n + 1 }, (_, i) => i / n);
    if (args[1] === "jump-both") edges.push(...Array.from({ length: n + 2 }, (_, i) => i / (n + 1)));
    if (args[1] === "jump-none" && n > 1) edges.push(...Array.from({ length: n }, (_, i) => i / (n - 1)));
    return edges;
  }
  if (call[1] === "linear") return linearInputs(args);
  return [];
}

// The inputs of linear()'s stops as CSS fills them in: the first defaults to
// 0 and the last to 1, an input below an earlier one is raised to it, and a
// run without inputs is spread evenly between the inputs around it.
function linearInputs(args) {
  const inputs = [];
  for (const arg of args) {
    const given = arg.split(/\s+/).filter((w) => w.endsWith("%")).map((w) => Number(w.slice(0, -1)) / 100);
    inputs.push(...(given.length ? given : [null]));
  }
  if (inputs.length === 0 || inputs.some(Number.isNaN)) return [];
  if (inputs[0] === null) inputs[0] = 0;
  if (inputs.length > 1 && inputs.at(-1) === null) inputs[inputs.length - 1] = 1;
  let highest = -Infinity;
  for (let i = 0; i < inputs.length; i++) {
    if (inputs[i] !== null) highest = inputs[i] = Math.max(inputs[i], highest);
  }
  for (let i = 0; i < inputs.length; i++) {
    if (inputs[i] !== null) continue;
    let j = i;
    while (inputs[j] === null) j++;
    const from = inputs[i - 1], to = inputs[j];
    for (let k = i; k < j; k++) inputs[k] = from + ((to - from) * (k - i + 1)) / (j - i + 1);
  }
  return inputs;
}

function points(css) {
  const ts = new Set(GRID);
  for (const b of boundaries(css).filter((b) => b >= 0 && b <= 1)) {
    for (const t of [nextAfter(b, -1), b, nextAfter(b, 1)]) if (t >= 0 && t <= 1) ts.add(t);
  }
  return [...ts].sort((a, b) => a - b);
}

// Runs in the page: every text's acceptance and, for an accepted one, its
// value at each of its points; the hand checks; and the time path's value at
// the i/64 it reaches exactly.
function measure(requests, checks) {
  const effect = (easing) => {
    const animation = new Animation(new KeyframeEffect(null, null, { duration: 1, fill: "both", easing }));
    animation.currentTime = 0;
    return animation;
  };
  const read = (animation, t) => {
    if (t === 1) {
      animation.effect.updateTiming({ iterationStart: 0 });
      animation.currentTime = 1;
    } else {
      animation.effect.updateTiming({ iterationStart: t });
    }
    const value = animation.effect.getComputedTiming().progress;
    animation.currentTime = 0;
    return value;
  };
  const readByTime = (animation, t) => {
    animation.effect.updateTiming({ iterationStart: 0 });
    animation.currentTime = t;
    const value = animation.effect.getComputedTiming().progress;
    animation.currentTime = 0;
    return value;
  };
  const line = effect("linear");
  const timeExact = [];
  for (let i = 1; i < 64; i++) if (readByTime(line, i / 64) === i / 64) timeExact.push(i / 64);
  const problems = [];
  const results = requests.map(({ css, points }) => {
    const supported = CSS.supports("animation-timing-function", css);
    let animation = null;
    try {
      animation = effect(css);
    } catch (e) {
      if (!(e instanceof TypeError)) throw e;
    }
    // The property takes more than one easing function (a list, the
    // CSS-wide keywords), so only its refusal of an accepted text is wrong.
    if (animation && !supported) problems.push(`${JSON.stringify(css)}: KeyframeEffect takes it, CSS.supports does not`);
    if (!animation) return { css, accepted: false, property: supported };
    const values = points.map((t) => read(animation, t));
    points.forEach((t, i) => {
      if (typeof values[i] !== "number") problems.push(`${css} at ${t}: progress ${values[i]}`);
      if (read(line, t) !== t) problems.push(`linear at ${t} gives ${read(line, t)}`);
    });
    for (const t of timeExact) {
      const byTime = readByTime(animation, t), byStart = read(animation, t);
      if (byTime !== byStart) problems.push(`${css} at ${t}: ${byStart} from the iteration start, ${byTime} from the time`);
    }
    return { css, accepted: true, values };
  });
  for (const [css, t, expected] of checks) {
    const got = read(effect(css), t);
    if (got !== expected) problems.push(`${css} at ${t} gives ${got}, not ${expected}`);
  }
  return { results, problems, timeExact: timeExact.length };
}

const out = process.argv[2];
if (!out) {
  console.error("usage: node tools/css_golden.mjs OUT_JSON");
  process.exit(2);
}
const started = Date.now();
const browser = await openChromium("css_golden", started + 120_000);
const requests = TEXTS.map((css) => ({ css, points: points(css) }));
const { results, problems, timeExact } = await browser.evaluate(
  `(${measure})(${JSON.stringify(requests)}, ${JSON.stringify(CHECKS)})`);
if (problems.length) browser.fail(`the method does not hold:\n  ${problems.join("\n  ")}`);
browser.close();

// Numbers as JS prints them (the shortest text that reads back as the same
// double), and a negative zero kept as one.
const number = (x) => (Object.is(x, -0) ? "-0.0" : JSON.stringify(x));
const curves = results.flatMap((r, i) => {
  if (!r.accepted) return [];
  const pts = requests[i].points.map((t, k) => `[${number(t)},${number(r.values[k])}]`);
  return [`  {"css": ${JSON.stringify(r.css)}, "points": [${pts.join(",")}]}`];
});
const invalid = results.filter((r) => !r.accepted).map((r) => r.css);
writeFileSync(out, [
  "{",
  ` "chromium": ${JSON.stringify(browser.version)},`,
  ` "curves": [\n${curves.join(",\n")}\n ],`,
  ` "invalid": ${JSON.stringify(invalid)},`,
  ` "made_by": "tools/css_golden.mjs"`,
  "}",
  "",
].join("\n"));
const propertyOnly = results.filter((r) => r.property).map((r) => JSON.stringify(r.css));
if (propertyOnly.length) console.log(`rejected as one easing function, taken by the property: ${propertyOnly.join(", ")}`);
const unexpected = [
  ...MALFORMED.filter((css) => !invalid.includes(css)).map((css) => `accepted ${JSON.stringify(css)}`),
  ...TEXTS.filter((css) => !MALFORMED.includes(css) && invalid.includes(css)).map((css) => `rejected ${JSON.stringify(css)}`),
];
const count = results.reduce((n, r) => n + (r.values?.length ?? 0), 0);
console.log(`${out}: ${browser.version}, ${curves.length} curves, ${count} points, ${invalid.length} rejected texts ` +
  `(${timeExact} of the i/64 cross-checked by time), ${((Date.now() - started) / 1000).toFixed(1)} s`);
if (unexpected.length) console.log(`not as listed: ${unexpected.join("; ")}`);
