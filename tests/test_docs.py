"""What users meet outside the code: the README's examples, the demo,
signatures for inspect and help(), the stubs and the packaged files."""

import importlib.metadata
import inspect
import os
import pydoc
import re
import shutil
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

from support import ENTRY, MODULES, functions, run_python, utils_module
from readme_examples import examples

ROOT = Path(__file__).resolve().parent.parent
CLASSES = [(e.module, e.cls.__name__) for e in ENTRY.values()]
INSTALLED = os.environ.get("QM_INSTALLED") == "1"
DEMO = ROOT / "examples" / "demo.py"


def cls_of(module, name):
    return getattr(utils_module(module), name)


# ---- README ----------------------------------------------------------------

README_EXAMPLES = examples()


@pytest.mark.parametrize("code", [c for _, c in README_EXAMPLES], ids=[f"line{n}" for n, _ in README_EXAMPLES])
def test_readme_example_runs(code):
    # A fresh interpreter each: several examples rebind module clocks.
    run_python(code)


@pytest.mark.parametrize(
    "needle",
    ["FixedTimer(", "VariableTimer(", "GlideCell(", "Mean()", "Flag()", "pickle.loads", "class ClampedMean(Mean)"],
)
def test_readme_keeps_an_example_of(needle):
    assert any(needle in code for _, code in README_EXAMPLES)


@pytest.mark.needs("processes")
def test_demo_runs_and_shows_every_module():
    env = dict(os.environ)
    proc = subprocess.run(
        [sys.executable, str(DEMO), "1.2"],
        capture_output=True, text=True, env=env, timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    for word in ("FixedTimer", "GlideCell", "easing.back_out", "Mean", "VariableTimer", "saving...", "physics steps,"):
        assert word in proc.stdout
    imported = re.findall(r"^from Quillmoor\.utils(?:\.(\w+))? import (\w+)", DEMO.read_text(encoding="utf-8"), re.M)
    assert set(MODULES) <= {module or name for module, name in imported}


# ---- signatures --------------------------------------------------------------

def compiled_functions():
    """(function, owner class or None) for every method object and reconstruction function."""
    return [pytest.param(f, owner, id=f"{owner.__name__}.{name}" if owner else name)
            for _, owner, name, f in functions()
            if (owner in ENTRY and type(f).__name__ in ("compiled_function", "method_descriptor"))
            or name.startswith("__pyx_unpickle_")]


def make(cls):
    return ENTRY[cls].make()


@pytest.mark.parametrize(("func", "owner"), compiled_functions())
def test_signature_matches_what_the_call_accepts(func, owner):
    sig = inspect.signature(func)
    assert func.__doc__ is None
    params = list(sig.parameters.values())
    args, kwargs = [], {}
    if owner is not None:
        # The instance is positional-only: no keyword reaches it.
        assert params[0].name == "self" and params[0].kind is inspect.Parameter.POSITIONAL_ONLY
        params = params[1:]
        args.append(make(owner))
    for p in params:
        if p.kind is inspect.Parameter.VAR_POSITIONAL:
            args.append(1)
        elif p.kind is inspect.Parameter.VAR_KEYWORD:
            kwargs["anything"] = 1
        else:
            assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
            kwargs[p.name] = None
    # Every name the signature offers as a keyword is taken as one (the values
    # may still be refused, with other messages).
    try:
        func(*args, **kwargs)
    except TypeError as e:
        assert "keyword argument" not in str(e) and "positional argument" not in str(e), e
    except Exception:
        pass
    # One argument more than the signature allows is refused.
    if not any(p.kind is inspect.Parameter.VAR_POSITIONAL for p in params):
        with pytest.raises(TypeError, match="positional argument"):
            func(*args, *[None] * (len(params) + 1))


@pytest.mark.parametrize(("module", "name"), CLASSES)
def test_class_signature_and_no_docstring(module, name):
    cls = cls_of(module, name)
    signature = ENTRY[cls].signature
    assert str(inspect.signature(cls)) == signature
    # The signature block must not leak out as a docstring, on the class or its instances.
    assert cls.__doc__ is None and make(cls).__doc__ is None and vars(cls)["__doc__"] is None
    if signature != "()":  # help() leaves out an empty signature
        assert name + signature in pydoc.render_doc(cls, renderer=pydoc.plaintext)

    class Sub(cls):
        pass

    assert str(inspect.signature(Sub)) == signature and Sub.__doc__ is None


def test_generic_glide_cell_shows_the_constructor():
    from Quillmoor.utils.glidecell import GlideCell

    assert inspect.signature(GlideCell) == inspect.signature(cls_of("glidecell", "_GlideCell"))


@pytest.mark.parametrize(("module", "name"), [(e.module, e.cls.__name__) for e in ENTRY.values() if e.signature != "()"])
def test_signature_defaults_are_the_real_defaults(module, name, timers_clock):  # one start time for both
    cls = cls_of(module, name)
    params = inspect.signature(cls).parameters.values()
    positional = ENTRY[cls].args
    defaults = [p.default for p in params if p.default is not p.empty]
    plain, spelled = cls(*positional), cls(*positional, *defaults)
    assert plain.__reduce__()[1:] == spelled.__reduce__()[1:]


# ---- stubs and packaging -------------------------------------------------------

@pytest.mark.parametrize("module", MODULES)
def test_stub_and_marker_ship_beside_each_module(module):
    m = utils_module(module)
    here = Path(m.__file__).parent
    assert (here / f"{module}.pyi").is_file() and (here / "py.typed").is_file()
    assert (here.parent / "py.typed").is_file()
    if INSTALLED:
        assert "site-packages" in str(here)


@pytest.mark.skipif(not INSTALLED, reason="checks the pip-installed copy")
def test_installed_distribution_lists_stubs_and_licence():
    files = {str(f) for f in importlib.metadata.files("Quillmoor-utils")}
    for module in MODULES:
        assert f"Quillmoor/utils/{module}.pyi" in files
    assert "Quillmoor/utils/py.typed" in files and "Quillmoor/py.typed" in files
    assert any(f.endswith("LICENSE") for f in files)
    # Only what runs: no C++ sources or headers in site-packages.
    package_files = [f for f in files if f.startswith("Quillmoor/") and "__pycache__" not in f]
    assert not [f for f in package_files if not f.endswith((".so", ".py", ".pyi", "py.typed"))]
    assert len([f for f in package_files if f.endswith(".so")]) == len(MODULES)


def test_one_version_from_pyproject():
    import tomllib

    version = importlib.metadata.version("Quillmoor-utils") if INSTALLED else None
    pyproject = ROOT / "pyproject.toml"
    declared = tomllib.loads(pyproject.read_text(encoding="utf-8"))["project"]["version"]
    if version is not None:
        assert version == declared
    # The changelog's newest entry is the declared version.
    headings = re.findall(r"^## (\S+)", (ROOT / "CHANGELOG.md").read_text(encoding="utf-8"), re.M)
    assert headings and headings[0] == declared


def _elf_dependencies(path):
    """(needed libraries, versions of the glibc symbols used) of a shared object, from readelf."""
    dyn = subprocess.run(["readelf", "-d", "-W", str(path)], capture_output=True, text=True, check=True).stdout
    ver = subprocess.run(["readelf", "-V", "-W", str(path)], capture_output=True, text=True, check=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dyn)
    versions = {tuple(int(x) for x in v.split(".")) for v in re.findall(r"Name: GLIBC_([0-9.]+)", ver)}
    return needed, versions, re.findall(r"Name: (GLIBCXX_[0-9.]+|CXXABI_[0-9.]+|GCC_[0-9.]+)", ver)


@pytest.mark.skipif(shutil.which("readelf") is None, reason="needs readelf")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="sanitizer builds link their runtimes")
@pytest.mark.parametrize("module", MODULES)
def test_module_needs_only_an_old_glibc(module):
    # What lets the wheel carry the lowest manylinux tag: no C++ runtime, and
    # glibc symbols no newer than the oldest glibc with wheels for the processor
    # (2.5 on x86, 2.17 on ARM).
    import platform

    oldest = (2, 17) if platform.machine() in ("aarch64", "armv7l", "armv8l") else (2, 5)
    path = Path(utils_module(module).__file__)
    needed, versions, cxx = _elf_dependencies(path)
    assert set(needed) <= {"libc.so.6", "libm.so.6"}, needed
    assert not cxx
    assert versions and max(versions) <= oldest, sorted(versions)


@pytest.mark.skipif(INSTALLED, reason="needs the source checkout")
def test_sdist_is_complete(tmp_path):
    pytest.importorskip("scikit_build_core")
    proc = subprocess.run(
        [sys.executable, "-c", f"from scikit_build_core.build import build_sdist; print(build_sdist({str(tmp_path)!r}))"],
        cwd=ROOT, capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    name = proc.stdout.strip().splitlines()[-1]
    with tarfile.open(tmp_path / name) as tar:
        members = {m.split("/", 1)[1] for m in tar.getnames() if "/" in m}
    wanted = {"pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "PKG-INFO", "examples/demo.py"}
    wanted |= {str(p.relative_to(ROOT)) for p in (ROOT / "src").rglob("*")
               if p.is_file() and p.suffix in (".cpp", ".hpp", ".py", ".pyi", ".typed")}
    wanted |= {str(p.relative_to(ROOT)) for p in (ROOT / "tests").glob("*.py")}
    assert wanted <= members, wanted - members
    assert not [m for m in members if m.startswith("build/") or m.endswith(".so") or "__pycache__" in m]
