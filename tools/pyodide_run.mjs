// Runs the WebAssembly wheel as a user of Pyodide would, under node:
//
//   node pyodide_run.mjs PYODIDE_DIR WHEEL SITE examples FILE...   (PYODIDE_DIR holds pyodide.mjs)
//   node pyodide_run.mjs PYODIDE_DIR WHEEL SITE pytest ARGS...
//
// Each command starts a fresh Pyodide that installs WHEEL with loadPackage,
// then sees this checkout and SITE (the host's pure-Python packages: pytest
// and what it needs) mounted at their own paths, SITE last on sys.path so it
// never hides the interpreter's own modules.  `examples` imports every module
// of the installed package (tests/installed_modules.py), then runs each file
// as `python FILE` would; `pytest` runs the suite in-process against the
// installed copy.  The exit status is the run's.
import { readFileSync, writeSync } from "node:fs";
import path from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

const [pyodideDir, wheel, site, command, ...args] = process.argv.slice(2);
const { loadPyodide } = await import(pathToFileURL(path.resolve(pyodideDir, "pyodide.mjs")).href);
const checkout = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "..");

// What the suite reads from its environment, passed on as the native runs pass it.
const passed = ["CI", "HYPOTHESIS_PROFILE", "PYTEST_ADDOPTS"];

async function interpreter() {
    const env = { QM_INSTALLED: "1", PYTHONDONTWRITEBYTECODE: "1" };  // the mounts are the host's files
    for (const [k, v] of Object.entries(process.env)) {
        if (k.startsWith("QM_") || passed.includes(k)) env[k] = v;
    }
    const write = (fd) => ({ write: (bytes) => writeSync(fd, bytes) });
    const py = await loadPyodide({ indexURL: path.resolve(pyodideDir) + "/", env });
    py.setStdout(write(1));
    py.setStderr(write(2));
    await py.loadPackage(path.resolve(wheel), { messageCallback: () => {} });
    for (const dir of [checkout, path.resolve(site)]) {
        py.FS.mkdirTree(dir);
        py.FS.mount(py.FS.filesystems.NODEFS, { root: dir }, dir);
    }
    // Hypothesis keeps its example database in the working folder: a fresh one.
    py.FS.mkdirTree("/tmp/work");
    py.runPython(`import os, sys; sys.path.append(${JSON.stringify(path.resolve(site))}); os.chdir("/tmp/work")`);
    return py;
}

// The jobs, in Python.  run() runs code as `python FILE` would and returns its
// exit status.  examples() runs each (file, code) after every module of the
// package is imported, restoring the modules' namespaces after each (several
// examples rebind the module clocks), and shows an example's output only when
// it fails.
const jobs = `
import contextlib, io, sys, traceback

def run(code, filename, argv):
    sys.argv = list(argv)
    try:
        exec(compile(code, filename, "exec"), {"__name__": "__main__", "__file__": filename})
    except SystemExit as e:
        return e.code if isinstance(e.code, int) else (0 if e.code is None else 1)
    except BaseException:
        traceback.print_exc()
        return 1
    return 0

def examples(imports, files):
    if status := run(imports[1], imports[0], [imports[0]]):
        return status
    package = {name: dict(vars(m)) for name, m in sys.modules.items() if name.startswith("Quillmoor.")}
    failed = 0
    for filename, code in files:
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            status = run(code, filename, [filename])
        for name, namespace in package.items():
            vars(sys.modules[name]).clear()
            vars(sys.modules[name]).update(namespace)
        if status:
            print(out.getvalue(), end="")
            print(f"pyodide_run: {filename} failed ({status})", file=sys.stderr)
            failed = 1
    return failed
`;

const source = (file) => [file, readFileSync(file, "utf8")];
let status = 2;
if (command === "examples" || command === "pytest") {
    const py = await interpreter();
    py.runPython(jobs);
    const call = (name, ...a) => py.globals.get(name)(...a.map((x) => py.toPy(x)));
    if (command === "examples") {
        status = call("examples", source(path.join(checkout, "tests", "installed_modules.py")), args.map(source));
    } else {
        status = call("run", "import pytest, sys\nsys.exit(pytest.main(sys.argv[1:]))", "<pytest>", ["pytest", ...args]);
    }
} else {
    console.error("usage: node pyodide_run.mjs PYODIDE_DIR WHEEL SITE examples FILE... | pytest ARGS...");
}
process.exit(status);
