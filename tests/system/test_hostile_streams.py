"""Viewers that stop reading and floods of snapshot requests, against one running program.

The program runs with VTCAM_VIEWER_STALL_SECONDS=10, so a viewer whose sends do not move is
closed after 10 s instead of 30 s.
"""
import re
import socket
import threading
import time

import pytest

from conftest import Camera
from test_media import converter_pids

STALL_SECONDS = 10


class Reader(threading.Thread):
    """A viewer of vdata.flv that reads everything and notes when bytes arrive."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=0.2)
        self.sock.sendall(b"GET /vdata.flv HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        self.head, self.arrivals, self.stop = b"", [], False
        self.start()

    def run(self):
        while not self.stop:
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            if not data:
                break
            self.head += data[:512 - len(self.head)]
            self.arrivals.append(time.monotonic())

    def longest_gap(self, since):
        times = [since] + [t for t in self.arrivals if t >= since] + [time.monotonic()]
        return max(b - a for a, b in zip(times, times[1:]))

    def close(self):
        self.stop = True
        self.join(2)
        self.sock.close()


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"^VmRSS:\s+(\d+) kB", f.read(), re.M).group(1))


@pytest.fixture(scope="module")
def program(tmp_path_factory):
    camera = Camera(str(tmp_path_factory.mktemp("hostile")))
    camera.env["VTCAM_CAPTURE"] = "test:motion=0"
    camera.env["VTCAM_VIEWER_STALL_SECONDS"] = str(STALL_SECONDS)
    proc = camera.start()
    try:
        assert camera.wait_for_log("Convertor Listener startup!", timeout=40)
        port = int(re.search(r"Camera Http Server startup! listen port=(\d+)", camera.log).group(1))
        assert camera.wait_for_log("Got whole FLV header/meta-data", timeout=20)
        yield camera, proc, port
        camera.run("-stop")
        proc.wait(timeout=15)
    finally:
        camera.cleanup()


def test_stalled_viewers_are_closed_and_memory_stays_bounded(program):
    camera, proc, port = program
    reader = Reader(port)
    time.sleep(3)
    rss_start = rss_kib(proc.pid)
    stalled = []
    for _ in range(5):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.connect(("127.0.0.1", port))
        s.sendall(b"GET /vdata.flv HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        stalled.append(s)
    start = time.monotonic()
    rss_peak = rss_start
    closed = set()
    while time.monotonic() - start < 6 * STALL_SECONDS and len(closed) < 5:
        time.sleep(1)
        rss_peak = max(rss_peak, rss_kib(proc.pid))
        closed = set(re.findall(r"\[(\d+)\]Sends stalled", camera.log))
    gap = reader.longest_gap(start)
    rss_end = rss_kib(proc.pid)
    reader.close()
    for s in stalled:
        s.close()
    assert len(closed) == 5, camera.log[-3000:]
    assert reader.head.startswith(b"HTTP/1.1 200") and b"\r\n\r\nFLV" in reader.head
    assert gap < 3, f"the reading viewer got nothing for {gap:.1f} s"
    assert rss_peak - rss_start < 20 * 1024 and rss_end - rss_start < 20 * 1024, (rss_start, rss_peak, rss_end)


def test_pipelined_snapshots_share_one_converter_and_the_stream_flows(program):
    camera, proc, port = program
    reader = Reader(port)
    time.sleep(2)
    conversions_before = camera.log.count("ConvertYUV2JPG cmd=")
    most, stop = [0], [False]

    def watch():
        while not stop[0]:
            most[0] = max(most[0], len(converter_pids(proc.pid, ".jpg")))
            time.sleep(0.01)

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    counts = [13, 13, 12, 12]
    answers = [0] * 4

    def client(i):
        with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
            s.sendall(b"GET /snapshot.htm HTTP/1.1\r\nHost: x\r\n\r\n" * counts[i])
            data = b""
            while answers[i] < counts[i]:
                while b"\r\n\r\n" not in data:
                    data += s.recv(65536) or b"!"
                    assert not data.endswith(b"!"), "connection closed"
                head, _, data = data.partition(b"\r\n\r\n")
                size = int(re.search(rb"Content-Length:\s*(\d+)", head).group(1))
                while len(data) < size:
                    data += s.recv(65536)
                assert head.startswith(b"HTTP/1.1 200") and data[:2] == b"\xff\xd8"
                data = data[size:]
                answers[i] += 1

    start = time.monotonic()
    clients = [threading.Thread(target=client, args=(i,), daemon=True) for i in range(4)]
    for c in clients:
        c.start()
    for c in clients:
        c.join(90)
    gap = reader.longest_gap(start)
    stop[0] = True
    watcher.join()
    reader.close()
    conversions = camera.log.count("ConvertYUV2JPG cmd=") - conversions_before
    assert answers == counts
    assert most[0] == 1
    assert conversions < sum(counts), "concurrent requests did not share a conversion"
    assert gap < 3, f"the live stream stopped for {gap:.1f} s"
