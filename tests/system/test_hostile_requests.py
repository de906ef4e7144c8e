"""Hostile clients on loopback against the running camera's HTTP server."""
import base64
import os
import re
import socket
import subprocess
import threading
import time

import pytest

from conftest import Camera

RUN_TIME = b"GET /cgi-bin/getConnectionTime.cgi HTTP/1.1\r\n\r\n"
SNAPSHOT = b"GET /snapshot.htm HTTP/1.1\r\nHost: cam\r\n\r\n"


def exchange(port, parts, timeout=5.0):
    """Sends the parts (bytes, or a pause in seconds) on one connection and reads one whole
    response (Content-Length body included), or what came before the end."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for part in parts:
            time.sleep(part) if isinstance(part, float) else s.sendall(part)
        data = b""
        while (b"\r\n\r\n" not in data or len(data.partition(b"\r\n\r\n")[2]) <
               int(re.search(rb"Content-Length: *(\d+)", data).group(1))):
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            data += chunk
        return data


def post(body, headers=""):
    return f"POST /servertxt.html HTTP/1.1\r\n{headers}Content-Length: {len(body)}\r\n\r\n".encode() + body


def start(camera):
    """Starts the program on a free port that its listen-port rule keeps (a multiple of 1000
    plus the last octet of the local address), so that it does not draw one in use."""
    octet = re.findall(r"inet [\d.]+\.(\d+)/", subprocess.run(["ip", "-4", "-o", "addr", "show", "scope", "global"],
                                                            capture_output=True, text=True).stdout) or ["0"]
    port = next(k * 1000 + int(octet[0]) for k in range(10, 20)
                if socket.socket().connect_ex(("127.0.0.1", k * 1000 + int(octet[0]))) != 0)
    with open(camera.path("CameraInfo.xml"), "w") as f:
        f.write(f'<?xml version="1.0" ?>\n<CameraInfos listenPort="{port}"></CameraInfos>\n')
    p = camera.start()
    assert camera.wait_for_log("Convertor Listener startup!")
    # Snapshots need a first frame: the main window opens once the remembered login went through.
    assert camera.wait_for_log("Got whole FLV header/meta-data", timeout=30)
    return p, int(re.search(r"Camera Http Server startup! listen port=(\d+)", camera.log).group(1))


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    camera = Camera(str(tmp_path_factory.mktemp("hostile")))
    camera.env["VTCAM_CAPTURE"] = "test:motion=0"
    try:
        p, port = start(camera)
        assert camera.wait_for_log("Got whole FLV header/meta-data", timeout=20)
        yield camera, p, port
        camera.run("-stop")
        p.wait(timeout=15)
    finally:
        camera.cleanup()


@pytest.mark.parametrize("parts, answer", [
    ([RUN_TIME[:9], 0.3, RUN_TIME[9:]], b"time = 0 day, 1 hr, 23 min, 45 sec"),
    ([post(b"A=1&B=2"), 0.3, post(b"FTP_SERVER=127.0.0.9&FTP_USER=u&FTP_PASS=p")], b"FTP_SERVER=127.0.0.9&"),
    ([b"POST /servertxt.html HTTP/1.1\r\n\r\nA=1", 0.3, b"&FTP_SERVER=127.0.0.9 HTTP/1.1\r\n\r\n"],
     b"FTP_SERVER=127.0.0.9&"),
    ([b"GET /favicon.ico HTTP/1.1\r\nHost: cam\r\n\r\n"], b"HTTP/1.1 404 Not Found\r\n"),
    ([b"GET /" + b"a" * 4200], None),
    ([b"POST /servertxt.html HTTP/1.1\r\n\r\nA=", 0.2, b"a" * 4100], None),
], ids=["split-line", "post-pair", "post-pair-no-length", "unknown-get", "too-large", "post-fills-buffer"])
def test_requests_are_answered(server, parts, answer):
    reply = exchange(server[2], parts)
    assert reply == b"" if answer is None else answer in reply


def test_slow_drip_clients_do_not_lock_out_a_normal_client(server):
    camera, _, port = server
    stop = threading.Event()

    def drip():
        while not stop.is_set():
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                    for byte in SNAPSHOT:
                        s.sendall(bytes([byte]))
                        try:
                            if stop.is_set() or s.recv(1) == b"":
                                break
                        except socket.timeout:
                            pass
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
            reply = exchange(port, [SNAPSHOT], timeout=10)
            took = time.time() - began
            assert reply.startswith(b"HTTP/1.1 200 OK") and reply.endswith(b"\xff\xd9"), reply[:80]
            slow += [round(took, 2)] if took > 2 else []
            time.sleep(max(0.0, 1 - took))
    finally:
        stop.set()
        for t in drippers:
            t.join()
    assert not slow and "the pool is full and the request unfinished" in camera.log, slow


def test_connections_without_a_whole_request_end_after_10_s(server):
    camera, _, port = server
    began = time.time()
    silent, partial = (socket.create_connection(("127.0.0.1", port), timeout=20) for _ in range(2))
    partial.sendall(b"GET /snap")
    for s in (silent, partial):
        assert s.recv(100) == b"" and 9.5 < time.time() - began < 12
        s.close()
    assert "no whole request within 10 s" in camera.log


def test_post_byte_by_byte_leaves_little_log_and_no_forged_line(server):
    camera, _, port = server
    forged = "2026-12-07 10:00:00:000|4242 FORGED RECORD"
    request = post(f"FTP_SERVER=127.0.0.7&FTP_PASS=hunter2secret&note=\r\n{forged}\r\n&pad={'z' * 1200}".encode())
    size_before = os.path.getsize(camera.path("VantorHomeCamera.log"))
    assert b"FTP_SERVER=127.0.0.7&" in exchange(port, [x for b in request for x in (bytes([b]), 0.0005)])
    time.sleep(0.5)
    assert os.path.getsize(camera.path("VantorHomeCamera.log")) - size_before < 10 * len(request)
    log = camera.log
    assert "\\r\\n" + forged in log  # shown, escaped, inside the request's line
    assert not any(line.startswith(forged) for line in log.split("\r\n"))
    assert "hunter2secret" not in log


def test_admin_password_and_settings_that_keep_the_store_readable(tmp_path):
    camera = Camera(str(tmp_path))
    camera.env["VTCAM_CAPTURE"] = "test:motion=0"
    with open(camera.path("config.ini"), "w") as f:
        f.write("[Http]\nadmin_password=s3cret\n")
    p, port = start(camera)
    auth = "Authorization: Basic " + base64.b64encode(b"admin:s3cret").decode() + "\r\n"
    wrong = "Authorization: Basic " + base64.b64encode(b"admin:guess").decode() + "\r\n"
    arm = "/schedule_setup.html?method=setAlarmStatus&ALARM_STATUS=1"
    good = "\u4e2d" * 20
    try:
        for request, status in [
                (f"GET {arm} HTTP/1.1\r\n\r\n", b"401"), (f"GET {arm} HTTP/1.1\r\n{wrong}\r\n", b"401"),
                ("GET /servertxt.html?A_Aenabled=0 HTTP/1.1\r\n\r\n", b"401"),
                (post(b"FTP_SERVER=evil.example").decode(), b"401"),
                ("GET /schedule_setup.html HTTP/1.1\r\n\r\n", b"200 OK\r\n.*ALARM_STATUS=0"),
                (RUN_TIME.decode(), b"200"), (SNAPSHOT.decode(), b"200"),
                (f"GET {arm} HTTP/1.1\r\n{auth}\r\n", b"200 OK\r\n.*ALARM_STATUS=1"),
                (post(f"FTP_SERVER={good}&FTP_USER=\u00e9\u00e9\u00e9{good}&FTP_PASS=pw".encode(), headers=auth)
                 .decode(), b"200"),
                (post(b"FTP_SERVER=bad\x01host&FTP_USER=x\x1bq&FTP_PASS=p", headers=auth).decode(), b"200")]:
            reply = exchange(port, [request.encode()])
            assert re.match(b"HTTP/1.1 " + status, reply, re.S), (request, reply)
            assert (b'WWW-Authenticate: Basic realm="VantorHomeCamera"' in reply) == (status == b"401")
        assert camera.wait_for_log("refused: FTP_SERVER holds a control character")
    finally:
        assert camera.run("-stop").returncode == 0
        p.wait(timeout=15)
        camera.cleanup()
    xml = camera.path("CameraInfo.xml")
    assert subprocess.run(["xmllint", "--noout", xml]).returncode == 0
    text = open(xml, encoding="utf-8").read()
    assert f'serverAddr="{good[:10]}" userName="\u00e9\u00e9\u00e9{good[:8]}"' in text  # 31 bytes, whole characters
