import atexit
import hashlib
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from types import SimpleNamespace

import pytest

HERE = os.path.dirname(__file__)
BIN_DIR = os.environ.get("VT_BIN_DIR", os.path.join(HERE, "../../build/bin"))
TOOLS = os.path.join(HERE, "../../tools")
DEMO_USER, DEMO_PASSWORD = "tester", "test123"  # the account every camera logs in with
STREAMING = "Got whole FLV header/meta-data"


def wait_until(predicate, timeout=20, step=0.05):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def standin(*args):
    """A stand-in server of tools/ and the words of the first line it prints."""
    proc = subprocess.Popen([sys.executable, *args], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    words = proc.stdout.readline().split()
    threading.Thread(target=proc.stdout.read, daemon=True).start()  # its event lines go nowhere
    atexit.register(lambda: proc.poll() is None and (proc.kill(), proc.wait()))
    return proc, words


class WebService:
    """The stand-in account service; one shared by all cameras unless a test asks for its own."""
    _shared = None

    def __init__(self, users=(), bare_users=()):
        self.dir = tempfile.mkdtemp(prefix="vt_webservice_")
        atexit.register(shutil.rmtree, self.dir, True)
        args = [f"--user={u}:{p}" for u, p in users] + [f"--bare-user={u}:{p}" for u, p in bare_users]
        self.proc, words = standin(os.path.join(TOOLS, "webservice_standin.py"), self.dir, *args)
        self.port = int(words[1])

    @classmethod
    def shared(cls):
        cls._shared = cls._shared or WebService(users=[(DEMO_USER, DEMO_PASSWORD)])
        return cls._shared

    def users(self):
        with open(os.path.join(self.dir, "users.json"), encoding="utf-8") as f:
            return json.load(f)["users"]


def login_digest(user, password):
    return hashlib.md5((user + password).encode("utf-8")).hexdigest().upper()


class Camera:
    """A copy of the program in a folder of its own, with its own registry and profile."""

    def __init__(self, root, login=True, service=None):
        self.dir = os.path.join(root, "prog")
        os.makedirs(self.dir)
        for name in os.listdir(BIN_DIR):
            src = os.path.join(BIN_DIR, name)
            if os.path.isfile(src) and name != "upnpc-shared" and not name.startswith("seed.") \
                    and not name.endswith((".log", ".bak", "._lock", ".xml")):
                shutil.copy2(src, self.dir, follow_symlinks=False)
        self.exe = self.path("VantorHomeCamera")
        self.service = service or WebService.shared()
        self.env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(root, "config"),
                        VTCAM_WEBSERVICE_PORT=str(self.service.port),
                        # Never the real port mapper: it multicasts onto the local network.
                        VTCAM_PORT_MAPPER=os.path.join(TOOLS, "upnpc-standin.sh"),
                        VTCAM_PORT_MAPPER_LOG=os.path.join(root, "upnpc.log"))
        self.env.setdefault("QT_QPA_PLATFORM", "offscreen")
        self.env.setdefault("VTCAM_CAPTURE", "test:motion=0")
        self.procs = []
        if login:
            self.remember_login(DEMO_USER, login_digest(DEMO_USER, DEMO_PASSWORD))

    def remember_login(self, user, digest):
        """The login settings as an earlier automatic login leaves them."""
        os.makedirs(os.path.dirname(self.registry_path()), exist_ok=True)
        with open(self.registry_path(), "w") as f:
            f.write(f"s AutoLogin=yes\ns LoginUserName={user}\ns UPMDString={digest}\n")

    def registry_path(self):
        return os.path.join(self.env["XDG_CONFIG_HOME"], "Norvane", "VantorHomeCamera", "registry")

    def start(self, *args):
        self.procs.append(subprocess.Popen([self.exe, *args], cwd=self.dir, env=self.env,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        return self.procs[-1]

    def start_and_wait(self, text=STREAMING, timeout=45):
        """Starts the program (again: its log goes on) until it logs text; returns its HTTP port."""
        before = self.log.count(text)
        self.start()
        assert wait_until(lambda: self.log.count(text) > before, timeout), self.log[-3000:]
        return int(re.findall(r"Camera Http Server startup! listen port=(\d+)", self.log)[-1])

    def run(self, *args, timeout=30):
        return subprocess.run([self.exe, *args], cwd=self.dir, env=self.env, timeout=timeout,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        assert self.run("-stop").returncode == 0
        assert self.procs[-1].wait(timeout=20) == 0

    @property
    def log(self):
        try:
            with open(self.path("VantorHomeCamera.log"), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def wait_for_log(self, text, timeout=20):
        return bool(wait_until(lambda: text in self.log, timeout))

    def path(self, name):
        return os.path.join(self.dir, name)

    def read(self, name):
        with open(self.path(name), encoding="utf-8") as f:
            return f.read()

    def cleanup(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
                p.wait()


def ffprobe(path, *extra):
    out = subprocess.run(["ffprobe", "-v", "error", *extra, "-show_entries",
                          "stream=codec_type,codec_name,width,height,nb_read_frames", "-of", "json", path],
                         capture_output=True, timeout=60, check=True)
    return json.loads(out.stdout)["streams"]


def record_video(url, path, seconds, *extra):
    """The first video stream of `seconds` of url, copied to path, as ffprobe sees it."""
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", url, "-t", str(seconds), "-c", "copy", str(path)],
                   timeout=60, check=True)
    return next(s for s in ffprobe(str(path), *extra) if s["codec_type"] == "video")


def http_get(port, path, seconds):
    """Raw bytes of a GET, read until its Content-Length body is whole, for at most `seconds`."""
    data, deadline = b"", time.time() + seconds
    with socket.create_connection(("127.0.0.1", port), timeout=0.5) as s:
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
        while time.time() < deadline:
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                continue
            data += chunk
            head, _, body = data.partition(b"\r\n\r\n")
            length = re.search(rb"Content-Length: *(\d+)", head)
            if not chunk or length and len(body) >= int(length.group(1)):
                break
    return data


@pytest.fixture
def camera(tmp_path):
    cam = Camera(str(tmp_path))
    yield cam
    cam.cleanup()


@pytest.fixture(scope="session")
def live(tmp_path_factory):
    """One running program, with a bridge stand-in, for the tests that only watch and poke it."""
    bridge, words = standin(os.path.join(TOOLS, "bridge_standin.py"), "--port", "0")
    cam = Camera(str(tmp_path_factory.mktemp("live")))
    shutil.copytree(os.path.join(BIN_DIR, "web"), cam.path("web"))  # not a plain file: skipped above
    cam.env.update(VTCAM_VIEWER_STALL_SECONDS="10", VTCAM_BRIDGE_SERVER=f"127.0.0.1:{words[1]}")
    try:
        port = cam.start_and_wait()
        yield SimpleNamespace(camera=cam, port=port, proc=cam.procs[-1], bridge_viewer=int(words[3]))
        cam.stop()
    finally:
        cam.cleanup()


def pytest_collection_modifyitems(items):
    # The shared program starts with its first test and ends with the session: its tests come last.
    items.sort(key=lambda item: "live" in item.fixturenames)
