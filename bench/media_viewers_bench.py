#!/usr/bin/python3
"""Cost of live viewers: the program's CPU and memory with 0, 1 and 15 viewers of vdata.flv.

Runs a copy of the program (build/bin, copied to a temporary folder without upnpc-shared)
on the synthetic test source, off screen, with the port-mapper stand-in. Viewers are plain
sockets in this process that send the GET and count the bytes that come back. For each
step the program's own CPU time is taken over a fixed window: utime + stime of its pid (all
its threads) and the finer run time of those threads from schedstat. The converters are
separate pids, shown apart. VmRSS / VmHWM are read at the end of the window.

Run by hand: /usr/bin/python3 bench/media_viewers_bench.py [--window 20] [--viewers 15]
"""
import argparse
import os
import re
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

from bench_camera import BenchCamera

REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
TICK = os.sysconf("SC_CLK_TCK")


def proc_stat(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return {"ppid": int(fields[1]), "cpu": (int(fields[11]) + int(fields[12])) / TICK, "threads": int(fields[17])}


def sched_seconds(pid):
    """Run time of all the process's threads in nanoseconds, finer than utime + stime's ticks."""
    total = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def proc_memory(pid):
    with open(f"/proc/{pid}/status") as f:
        text = f.read()
    return {key: int(re.search(rf"^{key}:\s+(\d+) kB", text, re.M).group(1)) for key in ("VmRSS", "VmHWM")}


def children(pid):
    """The program's child processes (the converters), by pid -> a short name."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if proc_stat(int(entry))["ppid"] != pid:
                continue
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode()
        except (OSError, ValueError):
            continue
        kind = "lss" if "lss://" in cmdline else "sls" if "sls://" in cmdline else cmdline.split(" ")[0]
        found[int(entry)] = kind
    return found


class Viewers:
    """Live-stream readers on one selector thread: each sends the GET and counts what arrives."""

    def __init__(self, port, path="/vdata.flv"):
        self.port, self.path = port, path
        self.sel = selectors.DefaultSelector()
        self.counts = []
        self.heads = []
        self.closed = []
        self.lock = threading.Lock()
        self.stop = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def add(self, n):
        for _ in range(n):
            s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
            s.sendall(f"GET {self.path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
            s.setblocking(False)
            with self.lock:
                i = len(self.counts)
                self.counts.append(0)
                self.heads.append(b"")
                self.closed.append(False)
                self.sel.register(s, selectors.EVENT_READ, i)

    def snapshot(self):
        with self.lock:
            return list(self.counts)

    def _run(self):
        while not self.stop:
            with self.lock:
                empty = not self.sel.get_map()
            if empty:
                time.sleep(0.05)
                continue
            for key, _ in self.sel.select(0.1):
                i = key.data
                try:
                    data = key.fileobj.recv(262144)
                except BlockingIOError:
                    continue
                except OSError:
                    data = b""
                with self.lock:
                    if not data:
                        self.closed[i] = True
                        self.sel.unregister(key.fileobj)
                        key.fileobj.close()
                        continue
                    self.counts[i] += len(data)
                    if len(self.heads[i]) < 1024:
                        self.heads[i] += data[:1024 - len(self.heads[i])]

    def close(self):
        self.stop = True
        self.thread.join(2)
        for key in list(self.sel.get_map().values()):
            key.fileobj.close()


def measure(pid, viewers, settle, window):
    time.sleep(settle)
    kids = children(pid)
    before = proc_stat(pid)["cpu"]
    sched_before = sched_seconds(pid)
    kids_before = {k: proc_stat(k)["cpu"] for k in kids}
    bytes_before = viewers.snapshot() if viewers else []
    start = time.monotonic()
    time.sleep(window)
    elapsed = time.monotonic() - start
    after = proc_stat(pid)
    sched = sched_seconds(pid) - sched_before
    mem = proc_memory(pid)
    bytes_after = viewers.snapshot() if viewers else []
    kids_cpu = {}
    for k, kind in kids.items():
        try:
            kids_cpu[kind] = kids_cpu.get(kind, 0) + proc_stat(k)["cpu"] - kids_before[k]
        except OSError:
            pass
    rates = [(b - a) * 8 / 1000 / elapsed for a, b in zip(bytes_before, bytes_after)]
    return {"cpu_pct": 100 * (after["cpu"] - before) / elapsed, "sched_pct": 100 * sched / elapsed, "threads": after["threads"], **mem,
            "rates": rates, "kids": {k: 100 * v / elapsed for k, v in kids_cpu.items()}}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--bin", default=os.path.join(REPO, "build/bin"), help="the program directory to copy")
    ap.add_argument("--window", type=float, default=20, help="seconds of each CPU window (default 20)")
    ap.add_argument("--settle", type=float, default=3, help="seconds before each window (default 3)")
    ap.add_argument("--viewers", type=int, default=15, help="viewers in the last step (default 15)")
    ap.add_argument("--capture", default="test:motion=0", help="VTCAM_CAPTURE (default test:motion=0)")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory(prefix="vt-viewers-") as root:
        camera = BenchCamera(root, args.bin, args.capture)
        log, wait_for = camera.log, camera.wait_for
        proc = camera.start()
        viewers = None
        try:
            if not wait_for("Camera Http Server startup!", 30) or not wait_for("Got whole FLV header/meta-data", 30):
                sys.exit("the program did not start its live stream; see its log:\n" + log()[-2000:])
            port = int(re.search(r"Camera Http Server startup! listen port=(\d+)", log()).group(1))
            load_before = os.getloadavg()[0]
            steps = [("0 viewers", measure(proc.pid, None, args.settle, args.window))]
            viewers = Viewers(port)
            viewers.add(1)
            steps.append(("1 viewer", measure(proc.pid, viewers, args.settle, args.window)))
            viewers.add(args.viewers - 1)
            steps.append((f"{args.viewers} viewers", measure(proc.pid, viewers, args.settle, args.window)))
            load_after = os.getloadavg()[0]
            bad = [i for i, h in enumerate(viewers.heads)
                   if not h.startswith(b"HTTP/1.1 200") or h.partition(b"\r\n\r\n")[2][:3] != b"FLV"]
            if bad:
                print("first reply bytes:", viewers.heads[bad[0]][:300])
            closed = [i for i, c in enumerate(viewers.closed) if c]
        finally:
            if viewers:
                viewers.close()
            camera.stop()
            camera.close()

    print(f"program CPU over {args.window:g} s windows (after {args.settle:g} s to settle); "
          f"load average {load_before:.2f} -> {load_after:.2f} on {os.cpu_count()} cores")
    print(f"{'step':<11} {'CPU %':>6} {'sched %':>7} {'VmRSS MB':>9} {'VmHWM MB':>9} {'threads':>7} "
          f"{'kbit/s per viewer (min/max)':>28}  converters CPU %")
    for name, s in steps:
        rates = f"{min(s['rates']):.0f} / {max(s['rates']):.0f}" if s["rates"] else "-"
        kids = ", ".join(f"{k} {v:.1f}" for k, v in sorted(s["kids"].items()))
        print(f"{name:<11} {s['cpu_pct']:>6.2f} {s['sched_pct']:>7.2f} {s['VmRSS'] / 1024:>9.1f} {s['VmHWM'] / 1024:>9.1f} "
              f"{s['threads']:>7} {rates:>28}  {kids}")
    one, many = steps[1][1], steps[2][1]
    base = steps[0][1]["sched_pct"]
    print(f"CPU {args.viewers} viewers / 1 viewer: {many['cpu_pct'] / one['cpu_pct']:.2f}x "
          f"(by run time of its threads: {many['sched_pct'] / one['sched_pct']:.2f}x); "
          f"per extra viewer: {(many['sched_pct'] - one['sched_pct']) / (args.viewers - 1):.3f} % of a core "
          f"(first viewer: {one['sched_pct'] - base:.3f} %); "
          f"RSS {args.viewers} / 1: {many['VmRSS'] / one['VmRSS']:.2f}x "
          f"(+{(many['VmRSS'] - one['VmRSS']) / 1024:.1f} MB)")
    if bad:
        print(f"viewers without a 200 reply and FLV header: {bad}")
    if closed:
        print(f"viewers the program closed: {closed}")


if __name__ == "__main__":
    main()
