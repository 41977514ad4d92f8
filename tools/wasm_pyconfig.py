"""The WebAssembly interpreter's build configuration, read from its standard
library (python_stdlib.zip holds the _sysconfigdata module it was built with).

    wasm_pyconfig.py STDLIB_ZIP TEMPLATE OUT   writes pyconfig.h for that interpreter
    wasm_pyconfig.py STDLIB_ZIP --print NAME   prints one build-time variable

The header is made from a native pyconfig.h of the same minor version: each
define takes the build's own value (0 means undefined).  Names the build data
cannot hold keep the template's line: the header's include guard, and the
feature-test macros (leading underscore), which the sysconfig parser skips.
Any other name the build data lacks is newer than that interpreter, so it is
left undefined."""

import ast
import re
import sys
import zipfile

# The lines sysconfig's own parser reads from pyconfig.h.
_DEFINE = re.compile(r"#define ([A-Za-z_]\w*)(?: (.*))?$")
_UNDEF = re.compile(r"/\* #undef ([A-Za-z_]\w*) \*/$")
_GUARD = re.compile(r"#ifndef ([A-Za-z_]\w*)$")


def build_time_vars(stdlib_zip):
    """The interpreter's build-time variables with literal values (the paths
    that are computed when the module runs are left out)."""
    with zipfile.ZipFile(stdlib_zip) as z:
        names = [n for n in z.namelist() if re.fullmatch(r"_sysconfigdata_[\w-]*emscripten[\w-]*\.py", n)]
        if len(names) != 1:
            sys.exit(f"wasm_pyconfig: expected one _sysconfigdata module in {stdlib_zip}, found {names}")
        source = z.read(names[0]).decode()
    for node in ast.parse(source).body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets if isinstance(t, ast.Name)] == ["build_time_vars"]:
            return {k.value: v.value for k, v in zip(node.value.keys, node.value.values) if isinstance(v, ast.Constant)}
    sys.exit(f"wasm_pyconfig: no build_time_vars in {names[0]}")


def pyconfig(template, values):
    guards = {m.group(1) for m in map(_GUARD.match, template.splitlines()) if m}
    out = []
    for line in template.splitlines():
        m = _DEFINE.match(line) or _UNDEF.match(line)
        if m is None:
            out.append(line)
            continue
        name = m.group(1)
        if name in values:
            value = values[name]
            out.append(f"/* #undef {name} */" if value == 0 else f"#define {name} {value}")
        elif name.startswith("_") or name in guards:
            out.append(line)
        else:
            out.append(f"/* #undef {name} */")
    return "\n".join(out) + "\n"


def main(argv):
    if len(argv) == 3 and argv[1] == "--print":
        values = build_time_vars(argv[0])
        if argv[2] not in values:
            sys.exit(f"wasm_pyconfig: {argv[2]} is not a build-time variable of {argv[0]}")
        print(values[argv[2]])
    elif len(argv) == 3:
        stdlib_zip, template, out = argv
        with open(template, encoding="utf-8") as f:
            text = pyconfig(f.read(), build_time_vars(stdlib_zip))
        with open(out, "w", encoding="utf-8") as f:
            f.write(text)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
