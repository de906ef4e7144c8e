"""Hostile clients on loopback against the running camera's HTTP server."""
import base64
import os
import random
import re
import socket
import subprocess
import threading
import time

import pytest

from conftest import Camera


def read_response(s, timeout=5.0):
    """One whole response (header and Content-Length body), or what came before the end."""
    s.settimeout(timeout)
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(4096)
        if not chunk:
            return data
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = int(re.search(rb"Content-Length: *(\d+)", head).group(1))
    while len(body) < length:
        chunk = s.recv(65536)
        if not chunk:
            break
        body += chunk
    return head + b"\r\n\r\n" + body


def exchange(port, parts, timeout=5.0):
    """Sends the parts (bytes, or a pause in seconds) on one connection; returns the answer."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for part in parts:
            if isinstance(part, float):
                time.sleep(part)
            else:
                s.sendall(part)
        return read_response(s, timeout)


def post(body, path="/servertxt.html", headers=""):
    return (f"POST {path} HTTP/1.1\r\nHost: cam\r\n{headers}Content-Length: {len(body)}\r\n\r\n").encode() + body


def wait_for_close(s, seconds):
    """True when the peer closed within the time."""
    s.settimeout(seconds)
    try:
        return s.recv(1) == b""
    except socket.timeout:
        return False


def open_fds(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def start_on_free_port(camera):
    """Starts the program on a free port that its listen-port rule keeps, so that runs
    beside other programs do not all draw the same one; returns the process and the port."""
    octet = 0
    route = subprocess.run(["ip", "-4", "-o", "addr", "show", "scope", "global"], capture_output=True, text=True)
    found = re.search(r"inet \d+\.\d+\.\d+\.(\d+)/", route.stdout)
    if found:
        octet = int(found.group(1))
    for k in random.sample(range(10, 20), 10):
        with socket.socket() as probe:
            try:
                probe.bind(("0.0.0.0", k * 1000 + octet))
            except OSError:
                continue
        with open(camera.path("CameraInfo.xml"), "w") as f:
            f.write(f'<?xml version="1.0" ?>\n<CameraInfos listenPort="{k * 1000 + octet}"></CameraInfos>\n')
        break
    p = camera.start()
    assert camera.wait_for_log("Convertor Listener startup!")
    return p, int(re.search(r"Camera Http Server startup! listen port=(\d+)", camera.log).group(1))


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    camera = Camera(str(tmp_path_factory.mktemp("hostile")))
    camera.env["VTCAM_CAPTURE"] = "test:motion=0"
    try:
        p, port = start_on_free_port(camera)
        assert camera.wait_for_log("Got whole FLV header/meta-data", timeout=20)
        yield camera, p, port
        camera.run("-stop")
        p.wait(timeout=15)
    finally:
        camera.cleanup()


RUN_TIME = b"GET /cgi-bin/getConnectionTime.cgi HTTP/1.1\r\n\r\n"


@pytest.mark.parametrize("parts, answer", [
    # A request line split over two sends.
    ([RUN_TIME[:9], 0.3, RUN_TIME[9:]], b"time = 0 day, 1 hr, 23 min, 45 sec"),
    # A settings POST without FTP_SERVER, then one with it, with and without Content-Length.
    ([post(b"A=1&B=2"), 0.3, post(b"FTP_SERVER=127.0.0.9&FTP_USER=u&FTP_PASS=p")], b"FTP_SERVER=127.0.0.9&"),
    ([b"POST /servertxt.html HTTP/1.1\r\n\r\nA=1", 0.3, b"&FTP_SERVER=127.0.0.9 HTTP/1.1\r\n\r\n"],
     b"FTP_SERVER=127.0.0.9&"),
    # Unknown paths get a short 404 at once.
    ([b"GET /favicon.ico HTTP/1.1\r\nHost: cam\r\n\r\n"], b"HTTP/1.1 404 Not Found\r\n"),
    ([post(b"x=1", path="/nothing")], b"HTTP/1.1 404 Not Found\r\n"),
], ids=["split-line", "post-pair", "post-pair-no-length", "unknown-get", "unknown-post"])
def test_requests_are_answered(server, parts, answer):
    _, _, port = server
    assert answer in exchange(port, parts)


def test_slow_drip_clients_do_not_lock_out_a_normal_client(server):
    camera, _, port = server
    stop = threading.Event()

    def drip():
        # One byte every 5 s; a connection the camera closes is opened again at once.
        while not stop.is_set():
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                    for byte in b"GET /snapshot.htm HTTP/1.1\r\nHost: cam\r\n\r\n":
                        s.sendall(bytes([byte]))
                        if stop.is_set() or wait_for_close(s, 5):
                            break
            except OSError:
                stop.wait(0.05)

    drippers = [threading.Thread(target=drip) for _ in range(30)]
    for t in drippers:
        t.start()
    slow = []
    try:
        time.sleep(2)
        deadline = time.time() + 58
        while time.time() < deadline:
            began = time.time()
            reply = exchange(port, [b"GET /snapshot.htm HTTP/1.1\r\nHost: cam\r\n\r\n"], timeout=10)
            took = time.time() - began
            assert reply.startswith(b"HTTP/1.1 200 OK") and reply.endswith(b"\xff\xd9"), reply[:80]
            if took > 2:
                slow.append(round(took, 2))
            time.sleep(max(0.0, 1 - took))
    finally:
        stop.set()
        for t in drippers:
            t.join()
    assert not slow, slow
    assert "the pool is full and the request unfinished" in camera.log


def test_connections_without_a_whole_request_end_after_10_s(server):
    camera, _, port = server
    ends = {}

    def wait_for_end(name, first_bytes):
        with socket.create_connection(("127.0.0.1", port), timeout=20) as s:
            began = time.time()
            s.sendall(first_bytes)
            ends[name] = (s.recv(100), time.time() - began)

    threads = [threading.Thread(target=wait_for_end, args=a) for a in (("silent", b""), ("partial", b"GET /snap"))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for name, (data, took) in ends.items():
        assert data == b"" and 9.5 < took < 12, (name, data, took)
    assert "no whole request within 10 s" in camera.log


def test_two_hundred_connections_at_once_leave_no_descriptor(server):
    _, p, port = server
    time.sleep(1)
    before = open_fds(p.pid)
    conns = [socket.create_connection(("127.0.0.1", port), timeout=5) for _ in range(200)]
    for i, s in enumerate(conns):
        if i % 2:
            s.sendall(b"GET /vd")
    for s in conns:
        s.close()
    deadline = time.time() + 20
    while time.time() < deadline and open_fds(p.pid) > before:
        time.sleep(0.2)
    assert open_fds(p.pid) <= before
    assert b"200 OK" in exchange(port, [RUN_TIME])


def test_post_byte_by_byte_leaves_little_log_and_no_forged_line(server):
    camera, _, port = server
    log_path = camera.path("VantorHomeCamera.log")
    forged = "2026-12-07 10:00:00:000|4242 FORGED RECORD"
    body = ("FTP_SERVER=127.0.0.7&FTP_USER=u&FTP_PASS=hunter2secret&note=\r\n" + forged + "\r\n&pad="
            + "z" * 1200).encode()
    request = post(body)
    size_before = os.path.getsize(log_path)
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for byte in request:
            s.sendall(bytes([byte]))
            time.sleep(0.0005)
        assert b"FTP_SERVER=127.0.0.7&" in read_response(s)
    time.sleep(0.5)
    assert os.path.getsize(log_path) - size_before < 10 * len(request)
    log = camera.log
    assert "\\r\\n" + forged in log  # shown, escaped, inside the request's line
    assert not any(line.startswith(forged) for line in log.split("\r\n"))
    assert "hunter2secret" not in log


def test_admin_password_and_settings_that_keep_the_store_readable(tmp_path):
    camera = Camera(str(tmp_path))
    camera.env["VTCAM_CAPTURE"] = "test:motion=0"
    with open(camera.path("config.ini"), "w") as f:
        f.write("[Http]\nadmin_password=s3cret\n")
    p, port = start_on_free_port(camera)
    try:

        def get(path, password=None):
            auth = "" if password is None else \
                "Authorization: Basic " + base64.b64encode(f"admin:{password}".encode()).decode() + "\r\n"
            return exchange(port, [f"GET {path} HTTP/1.1\r\n{auth}\r\n".encode()])

        arm = "/schedule_setup.html?method=setAlarmStatus&ALARM_STATUS=1"
        for path, password, status in [
                (arm, None, b"401"), (arm, "wrong", b"401"), ("/servertxt.html?A_Aenabled=0", None, b"401"),
                ("/schedule_setup.html", None, b"200"), ("/cgi-bin/getConnectionTime.cgi", None, b"200"),
                (arm, "s3cret", b"200")]:
            reply = get(path, password)
            assert reply.startswith(b"HTTP/1.1 " + status), (path, password, reply)
            if status == b"401":
                assert b'WWW-Authenticate: Basic realm="VantorHomeCamera"' in reply
        assert b"ALARM_STATUS=1" in get("/schedule_setup.html")
        auth = "Authorization: Basic " + base64.b64encode(b"x:s3cret").decode() + "\r\n"
        assert exchange(port, [post(b"FTP_SERVER=evil.example", headers="")]).startswith(b"HTTP/1.1 401")

        # A control byte is refused and the old value kept; long UTF-8 values are cut whole.
        good = "\u4e2d" * 20
        assert b"FTP_SERVER=" in exchange(port, [post(f"FTP_SERVER={good}&FTP_USER=\u00e9\u00e9\u00e9{good}&FTP_PASS=pw"
                                                      .encode(), headers=auth)])
        assert b"FTP_SERVER=" in exchange(port, [post(b"FTP_SERVER=bad\x01host&FTP_USER=x\x1bq&FTP_PASS=p",
                                                      headers=auth)])
        assert camera.wait_for_log("refused: FTP_SERVER holds a control character")
    finally:
        assert camera.run("-stop").returncode == 0
        p.wait(timeout=15)
        camera.cleanup()
    xml = camera.path("CameraInfo.xml")
    assert subprocess.run(["xmllint", "--noout", xml], capture_output=True).returncode == 0
    text = open(xml, encoding="utf-8").read()
    assert f'serverAddr="{good[:10]}"' in text  # 31 bytes hold 10 three-byte characters
    assert f'userName="\u00e9\u00e9\u00e9{good[:8]}"' in text
    assert "bad" not in text
