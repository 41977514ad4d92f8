"""The WebAssembly wheel's import check (tools/wasm_imports.py) on small
modules written here byte by byte: it must name every import the runtime
does not provide, and only those."""

import importlib.util
from pathlib import Path

import pytest

spec = importlib.util.spec_from_file_location("wasm_imports", Path(__file__).resolve().parent.parent / "tools" / "wasm_imports.py")
wasm_imports = importlib.util.module_from_spec(spec)
spec.loader.exec_module(wasm_imports)

I32, F64 = 0x7F, 0x7C


def leb(n):
    out = bytearray()
    while True:
        b, n = n & 0x7F, n >> 7
        out.append(b | (0x80 if n else 0))
        if not n:
            return bytes(out)


def vec(items):
    return leb(len(items)) + b"".join(items)


def name(s):
    return leb(len(s)) + s.encode()


def module(types, imports=(), functions=(), exports=()):
    """types: (params, results); imports: (module, name, "func", type index) or (module, name, "global");
    functions: type index of each defined function; exports: (name, kind, index)."""
    def section(n, items):
        body = vec(items)
        return bytes([n]) + leb(len(body)) + body

    kinds = {"func": 0, "global": 3}
    return wasm_imports.MAGIC + section(1, [b"\x60" + vec([bytes([p]) for p in ps]) + vec([bytes([r]) for r in rs]) for ps, rs in types]) + section(2, [
        name(m) + name(n) + (b"\x00" + leb(rest[0]) if kind == "func" else bytes([3, I32, 0]))
        for m, n, kind, *rest in imports
    ]) + section(3, [leb(t) for t in functions]) + section(7, [name(n) + bytes([kinds[k]]) + leb(i) for n, k, i in exports])


# Function 0 is imported and re-exported, so its type comes from the import;
# 1 and 2 are the runtime's own.
RUNTIME = wasm_imports.parse(module(
    types=[((I32,), (I32,)), ((F64,), (I32,))],
    imports=[("env", "from_js", "func", 0)],
    functions=[0, 1],
    exports=[("from_js", "func", 0), ("PyLong_FromLong", "func", 1), ("PyFloat_FromDouble", "func", 2),
             ("_Py_NoneStruct", "global", 0)],
), "runtime")


@pytest.mark.parametrize(("imports", "missing"), [
    ([("env", "PyLong_FromLong", "func", 0), ("env", "PyFloat_FromDouble", "func", 1), ("env", "from_js", "func", 0),
      ("GOT.mem", "_Py_NoneStruct", "global"), ("GOT.func", "PyLong_FromLong", "global"),
      ("env", "__memory_base", "global"), ("env", "__table_base", "global")], []),
    ([("env", "PyLong_AsLong", "func", 0)], ["PyLong_AsLong: no function of that name exported"]),
    ([("env", "PyFloat_FromDouble", "func", 0)], ["PyFloat_FromDouble: imported as (i32) -> (i32), exported as (f64) -> (i32)"]),
    ([("env", "from_js", "func", 1)], ["from_js: imported as (f64) -> (i32), exported as (i32) -> (i32)"]),
    ([("GOT.mem", "PyLong_FromLong", "global")], ["GOT.mem.PyLong_FromLong: no global PyLong_FromLong exported"]),
    ([("GOT.func", "_Py_NoneStruct", "global")], ["GOT.func._Py_NoneStruct: no function _Py_NoneStruct exported"]),
    ([("env", "_Py_NoneStruct", "func", 0)], ["_Py_NoneStruct: no function of that name exported"]),
    ([("wasi", "fd_write", "func", 0)], ["wasi.fd_write: imported from a module other than env"]),
], ids=["all provided", "absent", "other signature", "re-exported import", "data address of a function",
        "function address of data", "data called", "other module"])
def test_every_import_the_runtime_lacks_is_named(imports, missing):
    side = wasm_imports.parse(module(types=[((I32,), (I32,)), ((F64,), (I32,))], imports=imports), "side")
    assert wasm_imports.missing(RUNTIME, side) == missing
