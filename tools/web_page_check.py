"""Serves the example web page (examples/web) with a wheel and Pyodide on
127.0.0.1, opens it in headless Chromium (tools/web_page.mjs) with a fixed
frame clock, and checks that it got ready, logged no error, and drew exactly
the values the same scene gives when run by this interpreter.

    python tools/web_page_check.py WHEEL PYODIDE_DIR [SCREENSHOT.png]

This interpreter must import the package natively (an installed wheel or the
build tree on PYTHONPATH).
"""

import functools
import json
import shutil
import subprocess
import sys
import tempfile
import threading
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WEB = ROOT / "examples" / "web"
FRAMES, RATE = 150, 60  # two and a half seconds: every ball has turned at least once


class QuietHandler(SimpleHTTPRequestHandler):
    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass


def main(wheel: Path, pyodide: Path, screenshot: str | None) -> int:
    sys.path.insert(0, str(WEB))
    import scene  # noqa: PLC0415 - from the page's own folder

    expected = scene.run(FRAMES, RATE)
    with tempfile.TemporaryDirectory() as site:
        for f in WEB.iterdir():
            if f.suffix in (".html", ".py"):
                shutil.copy(f, site)
        shutil.copy(wheel, site)
        (Path(site) / "pyodide").symlink_to(pyodide.resolve())
        server = ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(QuietHandler, directory=site))
        threading.Thread(target=server.serve_forever, daemon=True).start()
        url = f"http://127.0.0.1:{server.server_address[1]}/index.html?wheel={wheel.name}&frames={FRAMES}&rate={RATE}"
        try:
            done = subprocess.run(["node", str(ROOT / "tools" / "web_page.mjs"), url, "120", *([screenshot] if screenshot else [])],
                                  capture_output=True, text=True, timeout=180)
        finally:
            server.shutdown()
    if done.returncode != 0:
        print(done.stderr, file=sys.stderr)
        return 1
    page = json.loads(done.stdout)
    problems = [f"the page logged: {e}" for e in page["errors"]]
    if not page["ready"]:
        problems.append("the page never reported itself ready")
    if page["record"] != expected:
        first = next(i for i, (a, b) in enumerate(zip(page["record"], expected)) if a != b) \
            if len(page["record"]) == len(expected) else None
        problems.append(f"the page's values differ from this interpreter's (frames {len(page['record'])} "
                        f"against {len(expected)}; first differing frame {first})")
    for p in problems:
        print(f"web page: {p}", file=sys.stderr)
    if not problems:
        print(f"web page: ready, no console error, {FRAMES} frames equal to the native run")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1]), Path(sys.argv[2]), sys.argv[3] if len(sys.argv) > 3 else None))
