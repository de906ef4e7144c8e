#!/usr/bin/python3
"""Snapshot load: /snapshot.htm requests per second and their latency with live viewers attached.

Runs a copy of the program (build/bin, copied to a temporary folder without upnpc-shared)
on the synthetic test source, off screen, with the port-mapper stand-in, as
media_viewers_bench.py does. For each step it attaches N viewers of vdata.flv (reading
sockets in this process), then C client connections each fetch /snapshot.htm over and over
on their connection (request, whole response, next request) for a fixed window. Measured:
answered requests per second, latency median / p95 / max (request sent -> last body byte),
unanswered requests, the live stream's rate per viewer and its longest silence during the
window, and the most snapshot converter processes seen at once (sampled every 20 ms).

Run by hand: /usr/bin/python3 bench/snapshot_load.py [--window 20] [--clients 4] [--steps 1,11] [--pipeline 1]
"""
import argparse
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_camera import BenchCamera  # noqa: E402
from media_viewers_bench import REPO, Viewers  # noqa: E402


def read_response(sock, deadline):
    """Reads one 200 response with Content-Length; returns its body or None."""
    data = b""
    while b"\r\n\r\n" not in data:
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        chunk = sock.recv(65536)
        if not chunk:
            return None
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    m = re.search(rb"Content-Length:\s*(\d+)", head)
    if not head.startswith(b"HTTP/1.1 200") or not m:
        return None
    size = int(m.group(1))
    while len(body) < size:
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        chunk = sock.recv(65536)
        if not chunk:
            return None
        body += chunk
    return body


class SnapshotClient(threading.Thread):
    def __init__(self, port, stop_at, timeout, pipeline):
        super().__init__(daemon=True)
        self.port, self.stop_at, self.timeout, self.pipeline = port, stop_at, timeout, pipeline
        self.latencies, self.failed, self.bad_jpeg = [], 0, 0

    def run(self):
        sock = None
        while time.monotonic() < self.stop_at:
            try:
                if sock is None:
                    sock = socket.create_connection(("127.0.0.1", self.port), timeout=self.timeout)
                start = time.monotonic()
                sock.sendall(b"GET /snapshot.htm HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" * self.pipeline)
                bodies = []
                for _ in range(self.pipeline):
                    bodies.append(read_response(sock, start + self.timeout))
                    if bodies[-1] is None:
                        break
                    self.latencies.append(time.monotonic() - start)
            except (OSError, ValueError):
                bodies = [None]
            if not bodies or bodies[-1] is None:
                self.failed += self.pipeline - len(bodies) + 1
                if sock:
                    sock.close()
                sock = None
                continue
            self.bad_jpeg += sum(1 for b in bodies if not b.startswith(b"\xff\xd8"))
        if sock:
            sock.close()


def snapshot_children(pid):
    """The program's snapshot converters: children whose command line writes a .jpg."""
    found = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) != pid:
                    continue
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                if b".jpg" in f.read():
                    found += 1
        except (OSError, ValueError, IndexError):
            continue
    return found


class JpgWatch(threading.Thread):
    """The most snapshot converters seen at once, sampled every 20 ms."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.most, self.stop = pid, 0, False

    def run(self):
        while not self.stop:
            self.most = max(self.most, snapshot_children(self.pid))
            time.sleep(0.02)


def stream_gap(viewers, window):
    """Samples the first viewer's byte count every 50 ms; returns the longest silence."""
    last_count, last_change, longest = viewers.snapshot()[0], time.monotonic(), 0.0
    end = time.monotonic() + window
    while time.monotonic() < end:
        time.sleep(0.05)
        count = viewers.snapshot()[0]
        now = time.monotonic()
        if count != last_count:
            longest = max(longest, now - last_change)
            last_count, last_change = count, now
    return max(longest, time.monotonic() - last_change)


def run_step(pid, port, viewers, clients, window, timeout, pipeline):
    before = viewers.snapshot()
    watch = JpgWatch(pid)
    watch.start()
    stop_at = time.monotonic() + window
    workers = [SnapshotClient(port, stop_at, timeout, pipeline) for _ in range(clients)]
    start = time.monotonic()
    for w in workers:
        w.start()
    gap = stream_gap(viewers, window)
    for w in workers:
        w.join(timeout + 5)
    elapsed = time.monotonic() - start
    watch.stop = True
    watch.join()
    after = viewers.snapshot()
    lat = sorted(x for w in workers for x in w.latencies)
    rates = [(b - a) * 8 / 1000 / elapsed for a, b in zip(before, after)]
    p95 = lat[min(len(lat) - 1, int(0.95 * len(lat)))] if lat else float("nan")
    return {"rps": len(lat) / elapsed, "median": statistics.median(lat) if lat else float("nan"), "p95": p95,
            "max": lat[-1] if lat else float("nan"), "answered": len(lat),
            "failed": sum(w.failed for w in workers), "bad": sum(w.bad_jpeg for w in workers),
            "rate_min": min(rates), "rate_max": max(rates), "gap": gap, "converters": watch.most}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--bin", default=os.path.join(REPO, "build/bin"), help="the program directory to copy")
    ap.add_argument("--window", type=float, default=20, help="seconds of each load window (default 20)")
    ap.add_argument("--clients", type=int, default=4, help="snapshot connections (default 4)")
    ap.add_argument("--steps", default="1,11", help="viewers attached in each step (default 1,11: with 4 "
                    "clients the second step fills the pool of 15)")
    ap.add_argument("--pipeline", type=int, default=1, help="requests sent at once per connection before "
                    "reading their answers (default 1); latency then counts from the send of the batch")
    ap.add_argument("--timeout", type=float, default=15, help="seconds before a request counts as unanswered")
    ap.add_argument("--capture", default="test:motion=0", help="VTCAM_CAPTURE (default test:motion=0)")
    args = ap.parse_args()
    steps = [int(s) for s in args.steps.split(",")]

    with tempfile.TemporaryDirectory(prefix="vt-snapshots-") as root:
        camera = BenchCamera(root, args.bin, args.capture)
        log, wait_for = camera.log, camera.wait_for
        proc = camera.start()
        results = []
        viewers = None
        try:
            if not wait_for("Camera Http Server startup!", 30) or not wait_for("Got whole FLV header/meta-data", 30):
                sys.exit("the program did not start its live stream; see its log:\n" + log()[-2000:])
            port = int(re.search(r"Camera Http Server startup! listen port=(\d+)", log()).group(1))
            load_before = os.getloadavg()[0]
            viewers = Viewers(port)
            attached = 0
            for n in steps:
                viewers.add(n - attached)
                attached = n
                time.sleep(3)
                results.append((n, run_step(proc.pid, port, viewers, args.clients, args.window, args.timeout,
                                                 args.pipeline)))
            load_after = os.getloadavg()[0]
        finally:
            if viewers:
                viewers.close()
            camera.stop()
            camera.close()

    print(f"{args.clients} snapshot connections, {args.pipeline} request(s) at a time each, {args.window:g} s per step; load average "
          f"{load_before:.2f} -> {load_after:.2f} on {os.cpu_count()} cores")
    print(f"{'viewers':>7} {'req/s':>6} {'median ms':>9} {'p95 ms':>7} {'max ms':>7} {'answered':>8} "
          f"{'unanswered':>10} {'kbit/s per viewer':>18} {'stream gap ms':>13} {'converters':>10}")
    for n, r in results:
        print(f"{n:>7} {r['rps']:>6.2f} {1000 * r['median']:>9.0f} {1000 * r['p95']:>7.0f} {1000 * r['max']:>7.0f} "
              f"{r['answered']:>8} {r['failed']:>10} {r['rate_min']:>8.0f} / {r['rate_max']:<7.0f} "
              f"{1000 * r['gap']:>13.0f} {r['converters']:>10}")
        if r["bad"]:
            print(f"  {r['bad']} answers were not JPEG")


if __name__ == "__main__":
    main()
