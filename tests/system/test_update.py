"""Live update of the program's own files from loopback servers, and a replacement that
survives being killed."""
import hashlib
import os
import random
import shutil
import signal
import struct
import subprocess
import time

from conftest import BIN_DIR, TOOLS, standin, wait_until

BUILT_TOOLS = os.path.join(BIN_DIR, "../tools")
NOTE = struct.pack("<III", 7, 8, 0x56455253) + b"Vantor\0\0"  # the version follows it in the program
RESTART = "发现有新版本更新，请重启程序。"


def publish(folder, files):
    """files: (list name with backslashes, bytes, version text); writes them and vtcam.xml."""
    entries = ""
    for name, data, version in files:
        (folder / name.replace("\\", "/")).write_bytes(data)
        path, _, base = name.rpartition("\\")
        entries += '<File path="%s" name="%s" version="%s" md5="%s" zipped="false"/>' % (
            path + "\\" if path else "", base, version, hashlib.md5(data).hexdigest())
    (folder / "vtcam.xml").write_text('<?xml version="1.0"?>\r\n<Update><ReleaseNote>Better pictures</ReleaseNote>'
                                      + entries + "</Update>")


def run_camera(camera, urls, *texts):
    camera.env["VTCAM_UPDATE_URL"] = ";".join(urls)
    windows = camera.log.count("CCameraWndMgr::ConnectCamera")
    camera.start()
    for text in texts:
        assert camera.wait_for_log(text, timeout=40), text
    # Stopped only once the main window runs, as a user would; by a signal, since a converter
    # started during the download may still hold the new program file open for writing, and
    # "-stop" would have to execute that file.
    assert wait_until(lambda: camera.log.count("CCameraWndMgr::ConnectCamera") > windows)
    camera.procs[-1].send_signal(signal.SIGTERM)
    assert camera.procs[-1].wait(timeout=20) == 0


def test_signed_update_from_the_second_server_replaces_program_and_data_once(camera, tmp_path):
    folder = tmp_path / "share" / "liveupdate"
    (folder / "data").mkdir(parents=True)
    old_program = open(camera.exe, "rb").read()
    at = old_program.index(NOTE) + len(NOTE)
    version = struct.unpack("<4H", old_program[at:at + 8])
    version = version[:3] + (version[3] + 1,)
    new_program = old_program[:at] + struct.pack("<4H", *version) + old_program[at + 8:]
    os.makedirs(camera.path("data"))
    with open(camera.path("data/readme.txt"), "wb") as f:
        f.write(b"old")
    publish(folder, [("VantorHomeCamera", new_program, ".".join(map(str, version))), ("data\\readme.txt", b"new", "")])
    sign, key = os.path.join(BUILT_TOOLS, "update-sign"), str(tmp_path / "publisher")
    assert subprocess.run([sign, "keygen", key]).returncode == 0
    assert subprocess.run([sign, "sign", key + ".key", str(folder / "vtcam.xml")]).returncode == 0
    shutil.copy(key + ".pub", camera.path("update-key.pub"))
    _, words = standin(os.path.join(TOOLS, "update-server.py"), "ftp", str(folder.parent),
                       "--fail", "liveupdate/data/readme.txt:2")
    url = "ftp://127.0.0.1:%s/liveupdate" % words[1]
    for name in ("http_proxy", "HTTP_PROXY", "ftp_proxy", "FTP_PROXY", "all_proxy", "ALL_PROXY"):
        camera.env.pop(name, None)

    run_camera(camera, ["http://127.0.0.1:1/liveupdate", url], RESTART, "Better pictures")
    log = camera.log
    order = [log.index(text) for text in ("Can not find the download list file!", "OnTryDownloadCenter " + url,
                                          "Retry(1) download file data\\readme.txt!",
                                          "Retry(2) download file data\\readme.txt!", RESTART)]
    assert order == sorted(order)
    assert open(camera.exe, "rb").read() == new_program and os.access(camera.exe, os.X_OK)
    assert open(camera.path("data/readme.txt"), "rb").read() == b"new"
    assert open(camera.path("~~TempFolder/0"), "rb").read() == old_program
    assert open(camera.path("~~TempFolder/1"), "rb").read() == b"old"

    # The new program reads its own version back: nothing is left to do, and the
    # list is remembered, so the start after that ends at once.
    for runs in (1, 2):
        run_camera(camera, [url], "CLiveUpdate::OnException All have been updated.")
        assert camera.log.count("All have been updated.") == runs
    assert camera.log.count(RESTART) == 1
    assert not os.path.exists(camera.path("~~TempFolder"))


def test_killed_replacement_leaves_old_or_new_file(tmp_path):
    folder, prog = tmp_path / "share" / "liveupdate", tmp_path / "prog"
    folder.mkdir(parents=True)
    prog.mkdir()
    rng = random.Random(13)
    old, new = rng.randbytes(24 << 20), rng.randbytes(24 << 20)
    publish(folder, [("big.bin", new, "")])
    env = dict(os.environ, XDG_CONFIG_HOME=str(tmp_path / "config"))
    cmd = [os.path.join(BUILT_TOOLS, "update-run"), str(prog), "/" + str(folder)]

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
        assert (prog / "big.bin").read_bytes() in (old, new), "a partly written file"
    shutil.rmtree(tmp_path / "share")
    shutil.rmtree(prog)
