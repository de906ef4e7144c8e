#!/usr/bin/python3
"""Glass-to-glass latency of the browser viewer, beside ffplay -fflags nobuffer, in one run.

Starts the program (a copy of build/bin with its web/ folder) off screen on the test scene,
whose strip of 32 cells along the bottom spells each frame's index. The test source captures
frame k at start + k / fps on the monotonic clock, so the index being captured at any moment
follows from that start. Three viewers of /vdata.flv run at once:

  reference  a raw socket into bench's flv_strip_decoder, which decodes each picture as soon
             as its tag is complete; the earliest (arrival - k / fps) over the run estimates
             the capture start (late by that path's smallest delay, a few ms on loopback)
  browser    the viewer page in headless Chromium (bench/browser_latency.js): each presented
             picture is drawn to a canvas and its strip read
  ffplay     ffplay -fflags nobuffer -flags low_delay on a private Xvfb display; its window
             is read back through the X server every 2 ms

Latency of a picture = the moment a viewer first shows index k - the moment k was captured.
Run by hand: /usr/bin/python3 bench/browser_latency_bench.py [--seconds 30]
"""
import argparse
import json
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from bench_camera import BenchCamera

REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
FPS = 10
STRIP_Y, STRIP_LEFT, CELL = 476, 64, 16


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


class Reference:
    """The raw stream decoded as it arrives: (monotonic time, index) per picture."""

    def __init__(self, port, decoder):
        self.seen = []
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.sock.sendall(b"GET /vdata.flv HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        self.decoder = subprocess.Popen([decoder], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        threading.Thread(target=self._relay, daemon=True).start()
        threading.Thread(target=self._read, daemon=True).start()

    def _relay(self):
        head = b""
        try:
            while b"\r\n\r\n" not in head:
                head += self.sock.recv(4096)
            self.decoder.stdin.write(head.partition(b"\r\n\r\n")[2])
            self.decoder.stdin.flush()
            while True:
                data = self.sock.recv(65536)
                if not data:
                    break
                self.decoder.stdin.write(data)
                self.decoder.stdin.flush()
        except OSError:
            pass

    def _read(self):
        for line in self.decoder.stdout:
            self.seen.append((time.monotonic(), int(line)))

    def close(self):
        self.sock.close()
        self.decoder.kill()
        self.decoder.wait()


class FfplayWindow:
    """ffplay on a private Xvfb display, its strip polled through the X server."""

    def __init__(self, port, workdir):
        from Xlib import X, display  # python3-xlib
        self.X = X
        number = next(n for n in range(90, 200) if not os.path.exists(f"/tmp/.X{n}-lock"))
        self.xvfb = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "640x480x24", "-nolisten", "tcp"],
                                     stderr=open(os.path.join(workdir, "xvfb.err"), "wb"))
        self.env = dict(os.environ, DISPLAY=f":{number}", SDL_AUDIODRIVER="dummy")
        self.display = None
        for _ in range(50):
            try:
                self.display = display.Display(f":{number}")
                break
            except display.error.DisplayConnectionError:
                time.sleep(0.1)
        if self.display is None:
            with open(os.path.join(workdir, "xvfb.err"), errors="replace") as f:
                raise RuntimeError(f"Xvfb :{number} cannot be reached (exit code {self.xvfb.poll()}): {f.read()}")
        self.root = self.display.screen().root
        self.ffplay = subprocess.Popen(
            ["ffplay", "-hide_banner", "-loglevel", "error", "-fflags", "nobuffer", "-flags", "low_delay",
             "-framedrop", "-an", "-noborder", "-left", "0", "-top", "0", "-x", "640", "-y", "480",
             f"http://127.0.0.1:{port}/vdata.flv"],
            env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=open(os.path.join(workdir, "ffplay.err"), "wb"))
        self.seen = []
        self.running = True
        self.thread = threading.Thread(target=self._poll, daemon=True)
        self.thread.start()

    def _poll(self):
        last = None
        while self.running:
            image = self.root.get_image(0, STRIP_Y, 640, 1, self.X.ZPixmap, 0xFFFFFFFF)
            now = time.monotonic()
            data = image.data  # BGRX
            index = 0
            for bit in range(32):
                if data[(STRIP_LEFT + bit * CELL + CELL // 2) * 4 + 1] > 128:
                    index |= 1 << bit
            if index != last:
                self.seen.append((now, index))
                last = index
            time.sleep(0.002)

    def close(self):
        self.running = False
        self.thread.join(2)
        for p in (self.ffplay, self.xvfb):
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


def latencies(seen, start, since, until):
    """Per index, the first time a viewer showed it, less its capture time (ms)."""
    first = {}
    for t, k in seen:
        if since <= t <= until and k not in first:
            first[k] = t
    return [(t - (start + k / FPS)) * 1000 for k, t in first.items()]


def row(name, values):
    if not values:
        return f"{name:<10} no pictures"
    return (f"{name:<10} {statistics.median(values):8.1f} {percentile(values, 95):8.1f} "
            f"{min(values):8.1f} {max(values):8.1f} {len(values):8d}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--seconds", type=float, default=30, help="measured seconds (default 30)")
    ap.add_argument("--settle", type=float, default=5, help="seconds before measuring (default 5)")
    ap.add_argument("--bin", default=os.path.join(REPO, "build/bin"), help="the program directory to copy")
    ap.add_argument("--decoder", default=os.path.join(REPO, "build/bench/flv_strip_decoder"))
    args = ap.parse_args()
    if not os.access(args.decoder, os.X_OK):
        sys.exit(f"{args.decoder} not found: build the flv_strip_decoder target")
    modules = os.path.join(REPO, "web", "node_modules")

    with tempfile.TemporaryDirectory(prefix="vt-glass-") as root:
        camera = BenchCamera(root, args.bin, "test:motion=0", web=True)
        log = camera.log
        proc = camera.start()
        viewers = []
        try:
            deadline = time.monotonic() + 30
            while "Got whole FLV header/meta-data" not in log() and time.monotonic() < deadline:
                time.sleep(0.1)
            match = re.search(r"Camera Http Server startup! listen port=(\d+)", log())
            if not match:
                sys.exit("the program did not start; its log:\n" + log()[-2000:])
            port = int(match.group(1))
            reference = Reference(port, args.decoder)
            ffplay = FfplayWindow(port, root)
            viewers = [reference, ffplay]
            # Wall-clock ms of the browser's presentation times map onto the monotonic clock.
            wall_minus_mono = time.time() - time.monotonic()
            load_before = os.getloadavg()[0]
            browser = subprocess.Popen(
                ["node", os.path.join(REPO, "bench", "browser_latency.js"), f"http://127.0.0.1:{port}/",
                 str(args.settle + args.seconds), os.path.join(root, "profile")],
                env=dict(os.environ, NODE_PATH=modules), stdout=subprocess.PIPE, text=True)
            out, _ = browser.communicate(timeout=args.settle + args.seconds + 120)
            load_after = os.getloadavg()[0]
            if browser.returncode != 0:
                sys.exit("the browser end failed")
            raw = json.loads(out.strip().splitlines()[-1])
            browser_seen = [(r[0] / 1000 - wall_minus_mono, r[1]) for r in raw]
            ahead = [r[2] * 1000 for r in raw if r[2] >= 0]
        finally:
            for v in viewers:
                v.close()
            camera.stop()
            camera.close()

    if len(reference.seen) < FPS:
        sys.exit("the reference decoder saw too few pictures")
    start = min(t - k / FPS for t, k in reference.seen)
    until = browser_seen[-1][0] if browser_seen else time.monotonic()
    since = until - args.seconds
    print(f"{args.seconds:g} s measured after {args.settle:g} s; load average {load_before:.2f} -> "
          f"{load_after:.2f} on {os.cpu_count()} cores; ms from capture")
    print(f"{'viewer':<10} {'median':>8} {'p95':>8} {'min':>8} {'max':>8} {'pictures':>8}")
    print(row("browser", latencies(browser_seen, start, since, until)))
    print(row("ffplay", latencies(ffplay.seen, start, since, until)))
    print(row("reference", latencies(reference.seen, start, since, until)))
    if ahead:
        print(f"browser buffered ahead of its playback position: median {statistics.median(ahead):.0f} ms, "
              f"p95 {percentile(ahead, 95):.0f} ms")


if __name__ == "__main__":
    main()
