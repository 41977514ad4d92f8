"""Reads pyright's --verifytypes JSON report and fails unless the package's
types are complete and everything the package itself defines has a docstring
and written-out defaults.  Names the stubs re-export from the standard library
(`math`, `ABC`, `perf_counter`) are reported by pyright too; they are counted
apart, as they are not the package's to document.

    python verifytypes_report.py REPORT PACKAGE_DIR
"""

import ast
import json
import sys
from pathlib import Path


def reexports(package_dir: Path, package: str) -> set[str]:
    """Dotted names under which the stubs re-export something from outside the package."""
    names = set()
    for stub in package_dir.glob("*.pyi"):
        module = f"{package}.{stub.stem}"
        for node in ast.walk(ast.parse(stub.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Import):
                names |= {f"{module}.{a.asname}" for a in node.names if a.asname and a.asname == a.name}
            elif isinstance(node, ast.ImportFrom) and not (node.module or "").startswith(package.split(".")[0]):
                names |= {f"{module}.{a.asname}" for a in node.names if a.asname}
    return names


def main(report_path: str, package_dir: str) -> int:
    report = json.loads(Path(report_path).read_text(encoding="utf-8"))
    tc = report["typeCompleteness"]
    package = tc["packageName"]
    foreign = reexports(Path(package_dir), package)
    errors = [d["message"] for d in report.get("generalDiagnostics", []) if d.get("severity") == "error"]
    own, other = [], 0
    for sym in tc["symbols"]:
        for d in sym.get("diagnostics", []):
            msg = d["message"]
            if not ("docstring" in msg or "default value" in msg):
                if d.get("severity") == "error":
                    errors.append(f'{sym["name"]}: {msg}')
            elif sym["name"].startswith(package + ".") and sym["name"] not in foreign:
                own.append(f'{sym["name"]}: {msg}')
            else:
                other += 1
    exported = tc["exportedSymbolCounts"]
    print(
        f'pyright --verifytypes {package}: type completeness {tc["completenessScore"]:.1%} '
        f'({exported["withKnownType"]} exported symbols known, {exported["withAmbiguousType"]} ambiguous, '
        f'{exported["withUnknownType"]} unknown); pyright counts {tc["missingFunctionDocStringCount"]} functions and '
        f'{tc["missingClassDocStringCount"]} classes without docstrings and {tc["missingDefaultParamCount"]} '
        f'with "..." defaults, of which {len(own)} defined by the package and {other} re-exported from the standard library'
    )
    for line in errors + own:
        print("  " + line)
    return 0 if tc["completenessScore"] == 1 and not errors and not own else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
