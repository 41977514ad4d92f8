"""Imports every module of the installed package, one per source file, and
checks that each came from the installation, not from this checkout:
python -I tests/installed_modules.py, with the wheel installed."""

import importlib
import importlib.metadata
import site
import sys
from pathlib import Path

SOURCES = Path(__file__).resolve().parent.parent / "src" / "Quillmoor" / "utils"
names = sorted({p.stem for p in SOURCES.iterdir() if p.suffix in (".cpp", ".py")} - {"__init__"})
installed = tuple(site.getsitepackages())
for name in names:
    f = importlib.import_module("Quillmoor.utils." + name).__file__
    assert f.startswith(installed), f"{f} is not in {installed}"
print("installed", importlib.metadata.version("Quillmoor-utils"), "on", sys.implementation.cache_tag,
      sys.platform, "imports", len(names), "modules")
