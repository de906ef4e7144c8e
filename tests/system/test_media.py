"""Live video, 3GP records and snapshots over the camera's HTTP server, end to end."""
import json
import os
import re
import signal
import socket
import subprocess
import time

import pytest


def ffprobe(path_or_url, *extra):
    out = subprocess.run(["ffprobe", "-v", "error", *extra, "-show_entries",
                          "stream=codec_type,codec_name,width,height,nb_read_frames",
                          "-of", "json", path_or_url],
                         capture_output=True, timeout=60, check=True)
    return json.loads(out.stdout)["streams"]


def http_get(port, path, seconds):
    """Raw bytes of a GET, read for at most `seconds`."""
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
    data = b""
    deadline = time.time() + seconds
    s.settimeout(0.5)
    while time.time() < deadline:
        try:
            chunk = s.recv(65536)
        except socket.timeout:
            continue
        if not chunk:
            break
        data += chunk
    s.close()
    return data


def converter_pids(camera_pid, protocol):
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode()
        except OSError:
            continue
        if ppid == camera_pid and protocol in cmdline:
            pids.append(int(entry))
    return pids


@pytest.fixture(scope="module")
def running(shared_camera):
    camera = shared_camera
    camera.env["VTCAM_CAPTURE"] = "test:motion=0"
    p = camera.start()
    assert camera.wait_for_log("Convertor Listener startup!")
    port = int(re.search(r"Camera Http Server startup! listen port=(\d+)", camera.log).group(1))
    assert camera.wait_for_log("Got whole FLV header/meta-data", timeout=20)
    yield camera, p, port
    camera.run("-stop")
    p.wait(timeout=15)


def test_live_flv_snapshots_and_3gp_records(running, tmp_path):
    camera, _, port = running
    clip = tmp_path / "live.flv"
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", f"http://127.0.0.1:{port}/vdata.flv", "-t", "5",
                    "-c", "copy", str(clip)], timeout=60, check=True)
    video = [s for s in ffprobe(str(clip), "-count_frames") if s["codec_type"] == "video"]
    assert video and video[0]["codec_name"] == "h264"
    assert (video[0]["width"], video[0]["height"]) == (640, 480)
    assert int(video[0]["nb_read_frames"]) >= 40

    for query, size in (("", (640, 480)), ("?qcif", (176, 144))):
        reply = http_get(port, "/snapshot.htm" + query, 10)
        head, _, body = reply.partition(b"\r\n\r\n")
        assert head.startswith(b"HTTP/1.1 200 OK")
        assert int(re.search(rb"Content-Length: (\d+)", head).group(1)) == len(body)
        jpg = tmp_path / f"snap{len(query)}.jpg"
        jpg.write_bytes(body)
        (stream,) = ffprobe(str(jpg))
        assert (stream["width"], stream["height"]) == size
    assert "qcif=1" in camera.log

    raw = http_get(port, "/vdata.rtp", 5)
    payload, pos = b"", 0
    while pos + 4 <= len(raw):
        n = int.from_bytes(raw[pos:pos + 4], "little")
        if pos + 4 + n > len(raw):
            break
        payload += raw[pos + 4:pos + 4 + n]
        pos += 4 + n
    assert payload, raw[:64]
    mp4 = tmp_path / "mobile.3gp"
    mp4.write_bytes(payload)
    video = [s for s in ffprobe(str(mp4)) if s["codec_type"] == "video"]
    assert video and (video[0]["width"], video[0]["height"]) == (352, 288)


def test_killed_converter_comes_back(running, tmp_path):
    camera, p, port = running
    pids = converter_pids(p.pid, "lss://")
    assert len(pids) == 1
    os.kill(pids[0], signal.SIGKILL)
    assert camera.wait_for_log("CStreamConvertor::OnSessionClosed open again!", timeout=10)
    deadline = time.time() + 15
    while time.time() < deadline and camera.log.count("Got whole FLV header/meta-data") < 2:
        time.sleep(0.1)
    clip = tmp_path / "again.flv"
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", f"http://127.0.0.1:{port}/vdata.flv", "-t", "3",
                    "-c", "copy", str(clip)], timeout=60, check=True)
    video = [s for s in ffprobe(str(clip)) if s["codec_type"] == "video"]
    assert video and (video[0]["width"], video[0]["height"]) == (640, 480)
    assert converter_pids(p.pid, "lss://") not in ([], pids)
