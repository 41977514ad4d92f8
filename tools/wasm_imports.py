"""Checks that the WebAssembly runtime provides everything the extension
modules import.

    wasm_imports.py RUNTIME.wasm FILE...   FILE: a module (.so) or a wheel holding modules

The runtime binds a module's function imports lazily: a missing function
fails only when it is first called, so a module that imports cleanly proves
little.  Here every import of every module must be an export of the runtime
of the same kind (a function of the same signature; a data or function
address through the GOT), or one of the addresses the dynamic loader gives
each module itself.  Exits 1 and lists what is missing otherwise."""

import sys
import zipfile
from dataclasses import dataclass, field
from pathlib import Path

MAGIC = b"\0asm\1\0\0\0"
FUNC, TABLE, MEMORY, GLOBAL, TAG = range(5)
KINDS = ("function", "table", "memory", "global", "tag")
VALTYPES = {0x7F: "i32", 0x7E: "i64", 0x7D: "f32", 0x7C: "f64", 0x7B: "v128", 0x70: "funcref", 0x6F: "externref"}

# Where each module's own data and table entries start: the loader sets these
# for every module it places, so the runtime does not export them.
LOADER_GIVEN = {("env", "__memory_base"), ("env", "__table_base")}


class Reader:
    def __init__(self, data, pos=0, end=None):
        self.data, self.pos, self.end = data, pos, len(data) if end is None else end

    def byte(self):
        self.pos += 1
        return self.data[self.pos - 1]

    def uleb(self):
        result = shift = 0
        while True:
            b = self.byte()
            result |= (b & 0x7F) << shift
            shift += 7
            if b < 0x80:
                return result

    def name(self):
        n = self.uleb()
        self.pos += n
        return self.data[self.pos - n:self.pos].decode()

    def valtype(self):
        b = self.byte()
        if b not in VALTYPES:
            raise ValueError(f"unknown value type 0x{b:02x} at {self.pos - 1}")
        return VALTYPES[b]

    def limits(self):
        flags = self.uleb()
        self.uleb()
        if flags & 1:
            self.uleb()


@dataclass
class Module:
    types: list = field(default_factory=list)  # (params, results)
    imports: list = field(default_factory=list)  # (module, name, kind, function type or None)
    functions: list = field(default_factory=list)  # type index of each defined function
    exports: dict = field(default_factory=dict)  # name -> (kind, index)

    def function_type(self, index):
        imported = [t for _, _, k, t in self.imports if k == FUNC]
        return imported[index] if index < len(imported) else self.types[self.functions[index - len(imported)]]


def parse(data, what):
    if data[:8] != MAGIC:
        raise SystemExit(f"wasm_imports: {what} is not a WebAssembly module")
    m = Module()
    r = Reader(data, 8)
    while r.pos < len(data):
        section = r.byte()
        size = r.uleb()
        s = Reader(data, r.pos, r.pos + size)
        r.pos += size
        if section == 1:
            for _ in range(s.uleb()):
                if s.byte() != 0x60:
                    raise SystemExit(f"wasm_imports: {what}: a type that is not a function type")
                params = tuple(s.valtype() for _ in range(s.uleb()))
                m.types.append((params, tuple(s.valtype() for _ in range(s.uleb()))))
        elif section == 2:
            for _ in range(s.uleb()):
                module, name, kind = s.name(), s.name(), s.byte()
                ftype = None
                if kind == FUNC:
                    ftype = m.types[s.uleb()]
                elif kind == TABLE:
                    s.valtype()
                    s.limits()
                elif kind == MEMORY:
                    s.limits()
                elif kind == GLOBAL:
                    s.valtype()
                    s.byte()
                elif kind == TAG:
                    s.byte()
                    s.uleb()
                else:
                    raise SystemExit(f"wasm_imports: {what}: unknown import kind {kind}")
                m.imports.append((module, name, kind, ftype))
        elif section == 3:
            m.functions = [s.uleb() for _ in range(s.uleb())]
        elif section == 7:
            for _ in range(s.uleb()):
                name, kind = s.name(), s.byte()
                m.exports[name] = (kind, s.uleb())
    return m


def signature(ftype):
    params, results = ftype
    return f"({', '.join(params)}) -> ({', '.join(results)})"


def missing(runtime, module):
    """What `module` imports that `runtime` does not provide, one line each."""
    out = []
    for source, name, kind, ftype in module.imports:
        if (source, name) in LOADER_GIVEN:
            continue
        # The GOT holds addresses: of a data symbol (GOT.mem) or of a function (GOT.func).
        if source in ("GOT.mem", "GOT.func"):
            wanted = GLOBAL if source == "GOT.mem" else FUNC
            if runtime.exports.get(name, (None,))[0] != wanted:
                out.append(f"{source}.{name}: no {KINDS[wanted]} {name} exported")
            continue
        if source != "env":
            out.append(f"{source}.{name}: imported from a module other than env")
            continue
        have = runtime.exports.get(name)
        if have is None or have[0] != kind:
            out.append(f"{name}: no {KINDS[kind]} of that name exported")
        elif kind == FUNC and runtime.function_type(have[1]) != ftype:
            out.append(f"{name}: imported as {signature(ftype)}, exported as {signature(runtime.function_type(have[1]))}")
    return out


def modules_in(path):
    """(name, bytes) of the module at `path`, or of every module in the wheel at `path`."""
    if path.suffix == ".whl":
        with zipfile.ZipFile(path) as z:
            found = [(f"{path.name}:{n}", z.read(n)) for n in z.namelist() if n.endswith(".so")]
        if not found:
            raise SystemExit(f"wasm_imports: no modules (.so) in {path}")
        return found
    return [(str(path), path.read_bytes())]


def main(argv):
    if len(argv) < 2:
        raise SystemExit(__doc__)
    runtime_path, *paths = map(Path, argv)
    runtime = parse(runtime_path.read_bytes(), runtime_path)
    failed = False
    for path in paths:
        for what, data in modules_in(path):
            module = parse(data, what)
            gaps = missing(runtime, module)
            print(f"{what}: {len(module.imports)} imports, {len(gaps)} missing from {runtime_path.name}")
            for line in gaps:
                print(f"  {line}")
            failed |= bool(gaps)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
