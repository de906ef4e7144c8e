import atexit
import hashlib
import os
import shutil
import subprocess
import tempfile
import time

import pytest

BIN_DIR = os.environ.get("VT_BIN_DIR", os.path.join(os.path.dirname(__file__), "../../build/bin"))
STANDIN = os.path.join(os.path.dirname(__file__), "../../tools/webservice_standin.py")

# The account every camera of these tests logs in with, unless it asks for a fresh machine.
DEMO_USER = "tester"
DEMO_PASSWORD = "test123"


class WebService:
    """The stand-in account service, one per test process, shared by all cameras."""

    _shared = None

    def __init__(self, users=(), bare_users=()):
        self.dir = tempfile.mkdtemp(prefix="vt_webservice_")
        args = ["python3", STANDIN, self.dir]
        for name, password in users:
            args += ["--user", "%s:%s" % (name, password)]
        for name, password in bare_users:
            args += ["--bare-user", "%s:%s" % (name, password)]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.port = int(self.proc.stdout.readline().split()[1])
        atexit.register(self.stop)

    @classmethod
    def shared(cls):
        if cls._shared is None:
            cls._shared = WebService(users=[(DEMO_USER, DEMO_PASSWORD)])
        return cls._shared

    def users(self):
        import json
        with open(os.path.join(self.dir, "users.json"), encoding="utf-8") as f:
            return json.load(f)["users"]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def login_digest(user, password):
    return hashlib.md5((user + password).encode("utf-8")).hexdigest().upper()


class Camera:
    """A copy of the program in a folder of its own, with its own registry and profile."""

    def __init__(self, root, login=True, service=None):
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
        self.service = service or WebService.shared()
        self.env["VTCAM_WEBSERVICE_PORT"] = str(self.service.port)
        if login:
            self.remember_login(DEMO_USER, login_digest(DEMO_USER, DEMO_PASSWORD), auto=True)

    def remember_login(self, user, digest, auto):
        """Stores the login settings as a previous login would have left them."""
        key = os.path.join(self.env["XDG_CONFIG_HOME"], "Norvane", "VantorHomeCamera")
        os.makedirs(key, exist_ok=True)
        with open(os.path.join(key, "registry"), "w") as f:
            f.write("s AutoLogin=%s\ns LoginUserName=%s\ns UPMDString=%s\n" % ("yes" if auto else "no", user, digest))

    def registry(self):
        path = os.path.join(self.env["XDG_CONFIG_HOME"], "Norvane", "VantorHomeCamera", "registry")
        with open(path) as f:
            return dict(line[2:].split("=", 1) for line in f.read().splitlines())

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
