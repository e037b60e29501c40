"""Opens every page of the built documentation site in headless Chromium.

For each HTML page under BUILD_HTML_DIR and each window width (1280 px, a
laptop, and 390 px, a phone), loads the page, saves a screenshot into
build/docs/screenshots (beside the html folder) and reads the document's
scroll width. A page wider than the window (one that scrolls sideways)
fails the check; the exit status is 1 then, and the offending pages are
listed.

The browser is Debian's `chromium`, driven through the DevTools protocol
over a pipe (`--remote-debugging-pipe`: JSON messages ended by a NUL byte,
read by the browser on descriptor 3 and written on 4), so that nothing but
the standard library is needed and no port is opened.

Usage: python scripts/check_docs_pages.py BUILD_HTML_DIR
"""

from __future__ import annotations

import argparse
import base64
import fcntl
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

WIDTHS = {"laptop": (1280, 800), "phone": (390, 844)}
# Pages the site makes for itself, not written by us.
SKIPPED = {"genindex.html", "search.html", "py-modindex.html"}
LOAD_TIMEOUT = 30.0


class Browser:
    """One headless Chromium with one page, driven over the DevTools pipe."""

    def __init__(self, executable: str) -> None:
        to_browser_read, self._to_browser = os.pipe()
        self._from_browser, from_browser_write = os.pipe()

        def descriptors() -> None:  # in the child, before exec
            # Moved out of the way first, since either may be 3 or 4 itself;
            # dup2 leaves the copies open across exec.
            reading = fcntl.fcntl(to_browser_read, fcntl.F_DUPFD, 10)
            writing = fcntl.fcntl(from_browser_write, fcntl.F_DUPFD, 10)
            os.dup2(reading, 3)
            os.dup2(writing, 4)

        self._profile = tempfile.mkdtemp(prefix="check-docs-chromium-")
        self._log = tempfile.TemporaryFile()  # the browser's own messages
        self._process = subprocess.Popen(
            [executable, "--headless", "--remote-debugging-pipe", "--no-sandbox",
             "--disable-gpu", "--disable-dev-shm-usage", "--hide-scrollbars",
             "--no-first-run", "--no-default-browser-check", "--disable-extensions",
             f"--user-data-dir={self._profile}", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self._log,
            preexec_fn=descriptors, close_fds=False)
        os.close(to_browser_read)
        os.close(from_browser_write)
        self._buffer = b""
        self._next_id = 0
        self._events: list[dict] = []
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self._session = self.call("Target.attachToTarget", targetId=target,
                                  flatten=True)["sessionId"]
        self.call("Page.enable", session=True)

    def close(self) -> None:
        try:
            self.call("Browser.close")
        except (OSError, RuntimeError):
            pass
        try:
            self._process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        os.close(self._to_browser)
        os.close(self._from_browser)
        self._log.close()
        shutil.rmtree(self._profile, ignore_errors=True)

    def _read_message(self, deadline: float) -> dict:
        while b"\0" not in self._buffer:
            if time.monotonic() > deadline:
                raise RuntimeError("the browser did not answer in time")
            chunk = os.read(self._from_browser, 1 << 16)
            if not chunk:
                self._log.seek(0)
                stderr = self._log.read().decode(errors="replace")
                raise RuntimeError(f"the browser closed its pipe:\n{stderr[-2000:]}")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method: str, session: bool = False, **params) -> dict:
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = self._session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + LOAD_TIMEOUT
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            if "method" in reply:
                self._events.append(reply)

    def wait_for(self, event: str) -> None:
        deadline = time.monotonic() + LOAD_TIMEOUT
        while True:
            for index, seen in enumerate(self._events):
                if seen["method"] == event:
                    del self._events[: index + 1]
                    return
            self._events.append(self._read_message(deadline))

    def open(self, url: str, width: int, height: int) -> None:
        self.call("Emulation.setDeviceMetricsOverride", session=True, width=width,
                  height=height, deviceScaleFactor=1, mobile=width < 600)
        self._events.clear()
        self.call("Page.navigate", session=True, url=url)
        self.wait_for("Page.loadEventFired")

    def evaluate(self, expression: str):
        result = self.call("Runtime.evaluate", session=True, expression=expression,
                           returnByValue=True, awaitPromise=True)
        return result["result"].get("value")

    def screenshot(self, path: Path) -> None:
        data = self.call("Page.captureScreenshot", session=True, format="png")["data"]
        path.write_bytes(base64.b64decode(data))


# How far the document reaches sideways, and what reaches furthest past the
# window (to name it in the failure). Fonts are awaited first, since they
# change widths.
MEASURE = """
(async () => {
  await document.fonts.ready;
  const root = document.documentElement;
  const width = window.innerWidth;
  let widest = null;
  for (const element of document.body.querySelectorAll("*")) {
    const right = element.getBoundingClientRect().right;
    if (right > width + 1 && (widest === null || right > widest.right)) {
      widest = {right: Math.round(right), tag: element.tagName.toLowerCase(),
                cls: element.className && String(element.className)};
    }
  }
  return {scroll: Math.max(root.scrollWidth, document.body.scrollWidth),
          window: width, widest: widest};
})()
"""


def pages(html_dir: Path) -> list[Path]:
    found = [path for path in sorted(html_dir.rglob("*.html"))
             if path.name not in SKIPPED and "_static" not in path.parts]
    # The site's root only sends the browser on to docs/index.html.
    return [path for path in found if path.parent != html_dir or path.name != "index.html"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("html_dir", type=Path, metavar="BUILD_HTML_DIR")
    arguments = parser.parse_args()
    html_dir = arguments.html_dir.resolve()
    if not html_dir.is_dir():
        parser.error(f"no such folder: {html_dir}")
    executable = shutil.which("chromium") or shutil.which("chromium-browser")
    if executable is None:
        print("check_docs_pages: no chromium on PATH (Debian package `chromium`)",
              file=sys.stderr)
        return 2
    shots = html_dir.parent / "screenshots"
    shots.mkdir(parents=True, exist_ok=True)
    to_check = pages(html_dir)
    if not to_check:
        print(f"check_docs_pages: no pages under {html_dir}", file=sys.stderr)
        return 2
    failures = []
    browser = Browser(executable)
    try:
        for page in to_check:
            name = page.relative_to(html_dir).with_suffix("").as_posix().replace("/", "-")
            for label, (width, height) in WIDTHS.items():
                browser.open(page.as_uri(), width, height)
                measured = browser.evaluate(MEASURE)
                browser.screenshot(shots / f"{name}-{width}.png")
                line = f"{page.relative_to(html_dir)} at {width} px ({label}): " \
                       f"scroll width {measured['scroll']}"
                if measured["scroll"] > measured["window"]:
                    widest = measured["widest"]
                    if widest:
                        line += (f", wider than the window: <{widest['tag']} "
                                 f"class={widest['cls']!r}> reaches {widest['right']} px")
                    failures.append(line)
                print(line)
    finally:
        browser.close()
    print(f"check_docs_pages: {len(to_check)} pages at {len(WIDTHS)} widths; "
          f"screenshots in {shots}")
    if failures:
        print("pages that scroll sideways:", *failures, sep="\n  ", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
