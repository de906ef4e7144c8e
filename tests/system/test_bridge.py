"""Viewers reach the camera through the stand-in bridge server, end to end, in real seconds."""
import os
import queue
import subprocess
import sys
import threading
import time

import pytest

from conftest import DEMO_USER, Camera
from test_media import ffprobe, http_get

STANDIN = os.path.join(os.path.dirname(__file__), "../../tools/bridge_standin.py")


class StandIn:
    """tools/bridge_standin.py with its event lines in a queue."""

    def __init__(self, port=0):
        self.proc = subprocess.Popen([sys.executable, STANDIN, "--port", str(port)],
                                     stdout=subprocess.PIPE, text=True)
        words = self.proc.stdout.readline().split()
        self.port, self.viewer = int(words[1]), int(words[3])
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.events.put(line.strip())

    def wait_event(self, prefix, timeout):
        deadline = time.time() + timeout
        while time.time() < deadline:
            try:
                if self.events.get(timeout=max(0.01, deadline - time.time())).startswith(prefix):
                    return True
            except queue.Empty:
                break
        return False

    def kill(self):
        self.proc.kill()
        self.proc.wait()


@pytest.fixture(scope="module")
def bridged(tmp_path_factory):
    standin = StandIn()
    camera = Camera(str(tmp_path_factory.mktemp("bridge")))
    camera.env["VTCAM_CAPTURE"] = "test:motion=0"
    camera.env["VTCAM_BRIDGE_SERVER"] = f"127.0.0.1:{standin.port}"
    p = camera.start()
    assert standin.wait_event("register", 20), camera.log
    assert camera.wait_for_log("Got whole FLV header/meta-data", timeout=20)
    yield camera, standin
    camera.run("-stop")
    p.wait(timeout=15)
    camera.cleanup()
    standin.kill()


def test_live_video_and_snapshot_through_the_bridge(bridged, tmp_path):
    camera, standin = bridged
    # The login made the account's camera id this camera's.
    cam_id = camera.service.users()[DEMO_USER]["devices"][0]["camId"]
    assert f"GET /nic/REGISTER?hostname={cam_id}&port=" in camera.log
    clip = tmp_path / "bridged.flv"
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", f"http://127.0.0.1:{standin.viewer}/vdata.flv",
                    "-t", "3", "-c", "copy", str(clip)], timeout=60, check=True)
    video = [s for s in ffprobe(str(clip)) if s["codec_type"] == "video"]
    assert video and video[0]["codec_name"] == "h264"
    assert (video[0]["width"], video[0]["height"]) == (640, 480)

    head, _, body = http_get(standin.viewer, "/snapshot.htm", 5).partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 OK") and body[:2] == b"\xff\xd8"
    jpg = tmp_path / "snap.jpg"
    jpg.write_bytes(body)
    (stream,) = ffprobe(str(jpg))
    assert (stream["codec_name"], stream["width"], stream["height"]) == ("mjpeg", 640, 480)


def test_five_viewers_at_once(bridged, tmp_path):
    _, standin = bridged
    bodies = [None] * 5

    def watch(i):
        bodies[i] = http_get(standin.viewer, "/vdata.flv", 4).partition(b"\r\n\r\n")[2]

    threads = [threading.Thread(target=watch, args=(i,)) for i in range(5)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, body in enumerate(bodies):
        assert body[:3] == b"FLV", i
        path = tmp_path / f"viewer{i}.flv"
        path.write_bytes(body)
        video = [s for s in ffprobe(str(path)) if s["codec_type"] == "video"]
        assert video and (video[0]["width"], video[0]["height"]) == (640, 480), i


def test_registers_again_after_the_bridge_server_restarts(bridged):
    camera, standin = bridged
    standin.kill()
    again = StandIn(standin.port)
    try:
        started = time.time()
        assert again.wait_event("register", 10), camera.log[-2000:]
        assert time.time() - started < 10
        assert "HttpBridgeThread quit. Restart 5 second later" in camera.log
        # The rest of the module's viewers go through the new server.
        standin.proc, standin.viewer, standin.events = again.proc, again.viewer, again.events
    except BaseException:
        again.kill()
        raise
