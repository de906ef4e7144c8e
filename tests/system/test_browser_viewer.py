"""The viewer page in Debian's Chromium (headless, through playwright-core) against the
running program on the test scene."""
import json
import os
import re
import subprocess
import urllib.request

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "../.."))
# The committed screenshot is renewed only when asked, so a test run leaves the tree clean.
SCREENSHOT = os.path.join(ROOT, "docs", "viewer.png") if os.environ.get("VT_UPDATE_SCREENSHOTS") else None


def status(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/schedule_setup.html", timeout=10) as reply:
        return reply.read().decode()


def test_viewer_plays_switches_arming_and_takes_snapshots(live, tmp_path):
    assert os.path.exists("/usr/bin/chromium"), "scripts/install-deps.sh installs chromium"
    modules = os.path.join(ROOT, "web", "node_modules")
    assert os.path.isdir(os.path.join(modules, "playwright-core")), "scripts/install-deps.sh runs npm ci in web/"
    assert status(live.port).startswith("ALARM_STATUS=0&")

    screenshot = SCREENSHOT or str(tmp_path / "viewer.png")
    run = subprocess.run(["node", os.path.join(os.path.dirname(__file__), "browser_viewer.js"),
                          f"http://127.0.0.1:{live.port}/", screenshot, str(tmp_path / "profile")],
                         env=dict(os.environ, NODE_PATH=modules), capture_output=True, text=True, timeout=180)
    assert run.returncode == 0, run.stderr
    seen = json.loads(run.stdout.strip().splitlines()[-1])

    assert (seen["videoWidth"], seen["videoHeight"]) == (640, 480)
    assert seen["advanced"] > 4.0, seen
    assert seen["message"] == "" and seen["console"] == [], seen
    assert (seen["armedBefore"], seen["armedAfter"]) == ("未布防", "已布防")
    assert status(live.port).startswith("ALARM_STATUS=1&")
    assert seen["snapshotWidth"] == 640 and seen["snapshotHead"] == [0xFF, 0xD8, 0xFF]
    assert re.fullmatch(r"snapshot-\d{8}-\d{6}\.jpg", seen["snapshotDownload"])
    assert seen["phoneOverflow"] <= 0
    assert seen["fallbackPictures"] >= 2 and "Media Source" in seen["fallbackMessage"], seen
    with open(screenshot, "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
