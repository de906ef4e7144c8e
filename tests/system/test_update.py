"""Live update of the program's own files from real loopback servers (http.server,
pyftpdlib, a folder), and replacement that survives being killed."""
import hashlib
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import time

import pytest

from conftest import BIN_DIR

TOOLS = os.path.join(os.path.dirname(__file__), "../../tools")
HOST = os.path.join(BIN_DIR, "../tools/update-run")
NOTE = struct.pack("<III", 7, 8, 0x56455253) + b"Vantor\0\0"
RESTART = "发现有新版本更新，请重启程序。"


class UpdateServer:
    def __init__(self, kind, folder, *extra):
        self.proc = subprocess.Popen(["/usr/bin/python3", os.path.join(TOOLS, "update-server.py"), kind, folder,
                                      *extra], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.url = "%s://127.0.0.1:%s/liveupdate" % (kind, self.proc.stdout.readline().split()[1])

    def stop(self):
        self.proc.kill()
        self.proc.wait()


@pytest.fixture
def share(tmp_path):
    folder = tmp_path / "share"
    (folder / "liveupdate" / "data").mkdir(parents=True)
    servers = []

    def serve(kind, *extra):
        servers.append(UpdateServer(kind, str(folder), *extra))
        return servers[-1].url

    yield folder / "liveupdate", serve
    for s in servers:
        s.stop()


def md5(data):
    return hashlib.md5(data).hexdigest().upper()


def versioned(data, parts):
    at = data.index(NOTE) + len(NOTE)
    return data[:at] + struct.pack("<4H", *parts) + data[at + 8:]


def publish(folder, files):
    """files: (list name with backslashes, bytes, version text); writes them and vtcam.xml."""
    entries = ""
    for name, data, version in files:
        (folder / name.replace("\\", "/")).write_bytes(data)
        path, _, base = name.rpartition("\\")
        entries += '<File path="%s" name="%s" version="%s" md5="%s" zipped="false"/>' % (
            path + "\\" if path else "", base, version, md5(data).lower())
    (folder / "vtcam.xml").write_text('<?xml version="1.0"?>\r\n<Update><ReleaseNote>Better pictures</ReleaseNote>'
                                      + entries + "</Update>")


def listen_port():
    """A free port that the camera's listen-port rule keeps (10000 + k * 1000 + the last
    octet of the machine's address), so that a camera of another test cannot hold ours."""
    out = subprocess.run(["ip", "-4", "-o", "addr"], capture_output=True, text=True).stdout.split()
    octets = [int(w.split("/")[0].rsplit(".", 1)[1]) for w in out if "/" in w and not w.startswith("127.")]
    for k in random.sample(range(20, 55), 35):
        port = 10000 + k * 1000 + (octets[0] if octets else 0)
        with socket.socket() as s:
            try:
                s.bind(("0.0.0.0", port))
                return port
            except OSError:
                pass
    return 0


def run_camera(camera, urls, wait_for):
    with open(camera.path("CameraInfo.xml"), "w") as f:
        f.write("<CameraInfos listenPort='%d'></CameraInfos>" % listen_port())
    camera.env["VTCAM_UPDATE_URL"] = ";".join(urls)
    for key in ("http_proxy", "HTTP_PROXY", "ftp_proxy", "FTP_PROXY", "all_proxy", "ALL_PROXY"):
        camera.env.pop(key, None)
    windows = camera.log.count("CCameraWndMgr::ConnectCamera")
    camera.start()
    for text in wait_for:
        assert camera.wait_for_log(text, timeout=40), text
    # Stopped only once the main window runs, as a user would.
    deadline = time.time() + 20
    while camera.log.count("CCameraWndMgr::ConnectCamera") == windows and time.time() < deadline:
        time.sleep(0.05)
    assert camera.run("-stop").returncode == 0
    camera.procs[-1].wait(timeout=20)


def test_newer_program_and_changed_data_are_replaced_once(camera, share):
    folder, serve = share
    old_program = open(camera.exe, "rb").read()
    at = old_program.index(NOTE) + len(NOTE)
    parts = struct.unpack("<4H", old_program[at:at + 8])
    newer = parts[:3] + (parts[3] + 1,)
    new_program = versioned(old_program, newer)
    os.makedirs(camera.path("data"))
    with open(camera.path("data/readme.txt"), "wb") as f:
        f.write(b"old")
    publish(folder, [("VantorHomeCamera", new_program, ".".join(map(str, newer))), ("data\\readme.txt", b"new", "")])
    url = serve("http")
    run_camera(camera, [url], [RESTART, "Better pictures"])
    assert open(camera.exe, "rb").read() == new_program
    assert os.access(camera.exe, os.X_OK)
    assert open(camera.path("data/readme.txt"), "rb").read() == b"new"
    assert open(camera.path("~~TempFolder/0"), "rb").read() == old_program
    assert open(camera.path("~~TempFolder/1"), "rb").read() == b"old"

    # The new program reads its own version back: nothing is left to do, and the
    # list is remembered, so the start after that ends at once.
    for _ in range(2):
        before = camera.log.count("All have been updated.")
        run_camera(camera, [url], ["CLiveUpdate::OnException All have been updated."])
        assert camera.log.count("All have been updated.") == before + 1
    assert camera.log.count(RESTART) == 1
    assert not os.path.exists(camera.path("~~TempFolder"))


def test_second_server_over_ftp_after_the_first_fails_and_two_retries(camera, share):
    folder, serve = share
    publish(folder, [("data\\readme.txt", b"new", "")])
    url = serve("ftp", "--fail", "liveupdate/data/readme.txt:2")
    run_camera(camera, ["http://127.0.0.1:1/liveupdate", url], [RESTART])
    log = camera.log
    order = ["Can not find the download list file!", "OnTryDownloadCenter " + url,
             "Retry(1) download file data\\readme.txt!", "Retry(2) download file data\\readme.txt!", RESTART]
    assert [log.index(text) for text in order] == sorted(log.index(text) for text in order)
    assert open(camera.path("data/readme.txt"), "rb").read() == b"new"


def test_killed_replacement_leaves_old_or_new_file(tmp_path, share):
    folder, _ = share
    prog = tmp_path / "prog"
    prog.mkdir()
    rng = random.Random(13)
    old, new = rng.randbytes(24 << 20), rng.randbytes(24 << 20)
    publish(folder, [("big.bin", new, "")])
    env = dict(os.environ, XDG_CONFIG_HOME=str(tmp_path / "config"))
    cmd = [HOST, str(prog), "/" + str(folder)]

    (prog / "big.bin").write_bytes(old)
    t0 = time.time()
    assert subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, timeout=60).returncode == 0
    duration = time.time() - t0
    assert (prog / "big.bin").read_bytes() == new

    for _ in range(20):
        (prog / "big.bin").write_bytes(old)
        host = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL)
        time.sleep(rng.uniform(0, duration * 1.2))
        host.send_signal(signal.SIGKILL)
        host.wait()
        data = (prog / "big.bin").read_bytes()
        assert data in (old, new), "a partly written file"
    shutil.rmtree(prog)


def test_signed_list_is_accepted_and_a_tampered_one_refused(camera, share, tmp_path):
    folder, serve = share
    sign = os.path.join(BIN_DIR, "../tools/update-sign")
    key = str(tmp_path / "publisher")
    assert subprocess.run([sign, "keygen", key]).returncode == 0
    shutil.copy(key + ".pub", camera.path("update-key.pub"))
    publish(folder, [("data\\readme.txt", b"new", "")])
    assert subprocess.run([sign, "sign", key + ".key", str(folder / "vtcam.xml")]).returncode == 0
    url = serve("http")
    run_camera(camera, [url], [RESTART])
    assert open(camera.path("data/readme.txt"), "rb").read() == b"new"

    publish(folder, [("data\\readme.txt", b"evil", "")])  # the old signature stays
    run_camera(camera, [url], ["CLiveUpdate::OnException The download list file is not correct!"])
    assert open(camera.path("data/readme.txt"), "rb").read() == b"new"
