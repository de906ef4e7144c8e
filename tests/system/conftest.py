import os
import shutil
import subprocess
import time

import pytest

BIN_DIR = os.environ.get("VT_BIN_DIR", os.path.join(os.path.dirname(__file__), "../../build/bin"))


class Camera:
    """A copy of the program in a folder of its own, with its own registry and profile."""

    def __init__(self, root):
        self.dir = os.path.join(root, "prog")
        os.makedirs(self.dir)
        for name in os.listdir(BIN_DIR):
            src = os.path.join(BIN_DIR, name)
            if name == "upnpc-shared":
                continue
            if os.path.isfile(src) and not name.endswith((".log", ".bak", "._lock", ".xml")) \
                    and not name.startswith("seed."):
                shutil.copy2(src, self.dir, follow_symlinks=False)
        self.exe = os.path.join(self.dir, "VantorHomeCamera")
        self.env = dict(os.environ)
        self.env["XDG_CONFIG_HOME"] = os.path.join(root, "config")
        self.env.setdefault("QT_QPA_PLATFORM", "offscreen")
        self.env.setdefault("VTCAM_CAPTURE", "test")
        # Never the real port mapper: it multicasts onto the local network.
        self.env["VTCAM_PORT_MAPPER"] = os.path.join(os.path.dirname(__file__), "../../tools/upnpc-standin.sh")
        self.env["VTCAM_PORT_MAPPER_LOG"] = os.path.join(root, "upnpc.log")
        self.procs = []

    def start(self, *args):
        p = subprocess.Popen([self.exe, *args], cwd=self.dir, env=self.env,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(p)
        return p

    def run(self, *args, timeout=30):
        return subprocess.run([self.exe, *args], cwd=self.dir, env=self.env, timeout=timeout,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    @property
    def log(self):
        path = os.path.join(self.dir, "VantorHomeCamera.log")
        if not os.path.exists(path):
            return ""
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_for_log(self, text, timeout=20):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if text in self.log:
                return True
            time.sleep(0.05)
        return False

    def path(self, name):
        return os.path.join(self.dir, name)

    def cleanup(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
                p.wait()


@pytest.fixture
def camera(tmp_path):
    cam = Camera(str(tmp_path))
    yield cam
    cam.cleanup()


@pytest.fixture(scope="module")
def shared_camera(tmp_path_factory):
    """One program folder for a whole module: its tests run in order and build on each other."""
    cam = Camera(str(tmp_path_factory.mktemp("camera")))
    yield cam
    cam.cleanup()
