"""The README's Python examples: found here for the tests, written out as
files for `./dev typecheck` (python tests/readme_examples.py OUTDIR)."""

import re
import shutil
import sys
import textwrap
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"

# A fenced block, possibly indented under a list item; the closing fence has the same indent.
_FENCE = re.compile(r"^(?P<indent>[ ]*)```python[ ]*\n(?P<body>.*?)^(?P=indent)```[ ]*$", re.M | re.S)


def examples(path: Path = README) -> list[tuple[int, str]]:
    """(line of the first code line, code) for every ```python block."""
    text = path.read_text(encoding="utf-8")
    return [
        (text.count("\n", 0, m.start("body")) + 1, textwrap.dedent(m.group("body")))
        for m in _FENCE.finditer(text)
    ]


def write(outdir: Path) -> list[Path]:
    # Start empty, so an example deleted from the README is not checked any more.
    shutil.rmtree(outdir, ignore_errors=True)
    outdir.mkdir(parents=True)
    paths = []
    for line, code in examples():
        p = outdir / f"readme_line{line}.py"
        p.write_text(code, encoding="utf-8")
        paths.append(p)
    return paths


if __name__ == "__main__":
    write(Path(sys.argv[1]))
