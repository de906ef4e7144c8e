#!/usr/bin/python3
"""Capture-to-viewer latency: our converter against the stock ffmpeg tool on the same frames.

One generator renders the test scene (640x480 YUYV, the frame index spelled by the strip of
32 cells along the bottom) at 10 fps and hands every frame, at the same instant, to each path:

  ours         build/bin/ffmpeg over its real protocol: we listen on loopback, start it with
               the live-stream command line, read its pid greeting, write raw frames and read
               the FLV that comes back on the same connection.
  stock        /usr/bin/ffmpeg reading raw frames from a pipe with the same x264 settings
               (veryfast, zerolatency, baseline, CRF 25, a key frame every 10 frames).
  stock-1t     the same with -threads 1, as our converter runs its encoder single-threaded.

Each path's FLV is relayed as it arrives into a decoder (/usr/bin/ffmpeg, low delay, single
thread) that outputs the strip rows as gray pixels; the strip is read back to the frame
index. Per frame we record the time from handing the raw frame over to (a) the arrival of
its FLV video tag and (b) its decoded picture. The decoder and relay are identical for every
path, so differences come from the encoders and their transport.

Run by hand: /usr/bin/python3 bench/media_latency_bench.py [--seconds 60]
"""
import argparse
import os
import queue
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

WIDTH, HEIGHT, FPS = 640, 480, 10
FRAME_BYTES = WIDTH * HEIGHT * 2
STRIP_TOP, STRIP_LEFT, CELL = 472, 64, 16
STRIP_ROWS = HEIGHT - STRIP_TOP
BLOCK = (96, 80, 544, 400)  # left, top, right, bottom (exclusive)
MOTION_SECONDS, HOLD_SECONDS = 20, 3  # the test source's defaults

REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
STOCK = "/usr/bin/ffmpeg"


# ---- the test scene (the same pixels as platform/capture/TestScene.cpp) ----

def render_background(with_block):
    out = bytearray(FRAME_BYTES)
    for y in range(HEIGHT):
        v_row = 112 + ((y >> 4) & 31)
        in_block_row = with_block and BLOCK[1] <= y < BLOCK[3]
        base = y * WIDTH * 2
        for x in range(0, WIDTH, 2):
            if in_block_row and BLOCK[0] <= x < BLOCK[2]:
                px = (235, 96, 235, 160)
            else:
                y0 = 70 + 50 * (((x >> 5) ^ (y >> 5)) & 1) + ((x * 7 + y * 13) & 15)
                y1 = 70 + 50 * ((((x + 1) >> 5) ^ (y >> 5)) & 1) + (((x + 1) * 7 + y * 13) & 15)
                px = (y0, 112 + ((x >> 4) & 31), y1, v_row)
            out[base + x * 2:base + x * 2 + 4] = bytes(px)
    return bytes(out)


class Scene:
    ON = b"\xeb\x80\xeb\x80" * (CELL // 2)
    OFF = b"\x10\x80\x10\x80" * (CELL // 2)

    def __init__(self):
        self.plain = render_background(False)
        self.block = render_background(True)

    def frame(self, index):
        cycle = MOTION_SECONDS * FPS
        has_block = index % cycle >= cycle - HOLD_SECONDS * FPS
        out = bytearray(self.block if has_block else self.plain)
        strip = b"".join(self.ON if (index >> bit) & 1 else self.OFF for bit in range(32))
        for y in range(STRIP_TOP, HEIGHT):
            at = (y * WIDTH + STRIP_LEFT) * 2
            out[at:at + len(strip)] = strip
        return bytes(out)


def index_of_gray_strip(rows):
    """The index spelled by the decoded strip (WIDTH x STRIP_ROWS gray), read mid-cell."""
    line = rows[4 * WIDTH:5 * WIDTH]
    index = 0
    for bit in range(32):
        if line[STRIP_LEFT + bit * CELL + CELL // 2] > 128:
            index |= 1 << bit
    return index


# ---- measurement plumbing ----

class FlvTagCounter:
    """Counts video tags that carry a picture (not the AVC configuration) as bytes arrive."""

    def __init__(self):
        self.buf = bytearray()
        self.header_done = False
        self.pictures = 0

    def feed(self, data):
        """Returns how many picture tags were completed by `data`."""
        self.buf += data
        done = 0
        if not self.header_done:
            if len(self.buf) < 13:
                return 0
            skip = int.from_bytes(self.buf[5:9], "big") + 4
            if len(self.buf) < skip:
                return 0
            del self.buf[:skip]
            self.header_done = True
        while len(self.buf) >= 11:
            size = int.from_bytes(self.buf[1:4], "big")
            if len(self.buf) < 11 + size + 4:
                break
            if self.buf[0] & 0x1F == 9 and size >= 2 and self.buf[12] == 1:
                done += 1
            del self.buf[:11 + size + 4]
        self.pictures += done
        return done


def ffmpeg_decoder_command():
    """The stock tool as the viewer: it holds each picture until the next tag arrives (one
    frame, 100 ms at 10 fps) whatever the input options, so it is kept only as a fallback."""
    return [STOCK, "-hide_banner", "-nostdin", "-loglevel", "error",
            "-fflags", "nobuffer", "-flags", "low_delay", "-threads", "1",
            "-probesize", "32", "-analyzeduration", "0",
            "-f", "flv", "-i", "pipe:0",
            "-vf", f"crop={WIDTH}:{STRIP_ROWS}:0:{STRIP_TOP}", "-fps_mode", "passthrough",
            "-flush_packets", "1", "-f", "rawvideo", "-pix_fmt", "gray", "pipe:1"]


def cpu_seconds(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except OSError:
        return None


class Path:
    """One encoder under test, its relay into a decoder, and the times it produced."""

    def __init__(self, name, workdir):
        self.name = name
        self.workdir = workdir
        self.frames = queue.Queue()
        self.handed = {}   # frame index -> time the raw frame was handed over
        self.tagged = {}   # frame index -> time its FLV picture tag had fully arrived
        self.decoded = {}  # frame index -> time its picture came out of the decoder
        self.bytes_out = 0
        self.encoder = None
        self.encoder_cpu = None
        self.errors = []

    # The encoder's ends: set up by the subclasses.
    def write(self, data):
        raise NotImplementedError

    def read(self):
        raise NotImplementedError

    def close_input(self):
        raise NotImplementedError

    def start(self, decoder):
        cmd = ffmpeg_decoder_command() if decoder == "ffmpeg" else [decoder]
        self.decoder = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=open(os.path.join(self.workdir, f"{self.name}-decoder.err"), "wb"))
        reader = self._ffmpeg_decoded_reader if decoder == "ffmpeg" else self._decoded_reader
        self.threads = [threading.Thread(target=self._writer, daemon=True),
                        threading.Thread(target=self._relay, daemon=True),
                        threading.Thread(target=reader, daemon=True)]
        for t in self.threads:
            t.start()

    def _writer(self):
        while True:
            item = self.frames.get()
            if item is None:
                break
            index, frame = item
            self.handed[index] = time.monotonic()
            try:
                self.write(frame)
            except OSError as e:
                self.errors.append(f"writing frame {index}: {e}")
                break

    def _relay(self):
        tags = FlvTagCounter()
        try:
            while True:
                data = self.read()
                if not data:
                    break
                now = time.monotonic()
                before = tags.pictures
                tags.feed(data)
                for n in range(before, tags.pictures):
                    self.tagged[n] = now  # the encoders emit one picture per frame, in order
                self.bytes_out += len(data)
                self.decoder.stdin.write(data)
                self.decoder.stdin.flush()
        except OSError as e:
            self.errors.append(f"relaying: {e}")
        finally:
            try:
                self.decoder.stdin.close()
            except OSError:
                pass

    def _decoded_reader(self):
        for line in self.decoder.stdout:
            now = time.monotonic()
            self.decoded.setdefault(int(line), now)

    def _ffmpeg_decoded_reader(self):
        size = WIDTH * STRIP_ROWS
        out = self.decoder.stdout
        while True:
            rows = out.read(size)
            if len(rows) < size:
                break
            now = time.monotonic()
            self.decoded.setdefault(index_of_gray_strip(rows), now)

    def finish(self, timeout):
        self.frames.put(None)
        self.threads[0].join(timeout)
        self.encoder_cpu = cpu_seconds(self.encoder.pid)
        self.close_input()
        for t in self.threads[1:]:
            t.join(timeout)
        for p in (self.encoder, self.decoder):
            try:
                p.wait(timeout)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


class OurConverter(Path):
    def __init__(self, workdir, binary):
        super().__init__("ours", workdir)
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        port = self.listener.getsockname()[1]
        # The live-stream command line the program's convertors use, video only.
        cmd = [binary, "-y", "-r", str(FPS), "-s", f"{WIDTH}x{HEIGHT}", "-pix_fmt", "yuyv422",
               "-i", "seed.yuv", "temp.flv", "-lss", f"lss://127.0.0.1:{port}"]
        self.encoder = subprocess.Popen(cmd, cwd=workdir, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=open(os.path.join(workdir, "ours-encoder.err"), "wb"))
        self.listener.settimeout(10)
        self.conn, _ = self.listener.accept()
        self.listener.close()
        greeting = b""
        while len(greeting) < 4:
            chunk = self.conn.recv(4 - len(greeting))
            if not chunk:
                raise RuntimeError("converter closed before its greeting")
            greeting += chunk
        pid = int.from_bytes(greeting, "little")
        if pid != self.encoder.pid:
            raise RuntimeError(f"greeting {pid} is not the converter's pid {self.encoder.pid}")
        self.conn.settimeout(None)
        self.conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def write(self, data):
        self.conn.sendall(data)

    def read(self):
        return self.conn.recv(65536)

    def close_input(self):
        try:
            self.conn.shutdown(socket.SHUT_WR)
        except OSError:
            pass


class StockFfmpeg(Path):
    def __init__(self, name, workdir, threads):
        super().__init__(name, workdir)
        cmd = [STOCK, "-hide_banner", "-nostats", "-loglevel", "error",
               "-f", "rawvideo", "-pix_fmt", "yuyv422", "-s", f"{WIDTH}x{HEIGHT}", "-r", str(FPS), "-i", "pipe:",
               "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency", "-profile:v", "baseline",
               "-crf", "25", "-g", str(FPS), "-pix_fmt", "yuv420p"]
        if threads:
            cmd += ["-threads", str(threads)]
        cmd += ["-f", "flv", "pipe:"]
        self.encoder = subprocess.Popen(cmd, cwd=workdir, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=open(os.path.join(workdir, f"{name}-encoder.err"), "wb"))

    def write(self, data):
        self.encoder.stdin.write(data)
        self.encoder.stdin.flush()

    def read(self):
        return self.encoder.stdout.read1(65536)

    def close_input(self):
        try:
            self.encoder.stdin.close()
        except OSError:
            pass


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def summary(path, total, warmup):
    def stats(arrived):
        lat = [(arrived[k] - path.handed[k]) * 1000 for k in range(warmup, total) if k in arrived and k in path.handed]
        if not lat:
            return None
        return {"n": len(lat), "median": statistics.median(lat), "p95": percentile(lat, 95), "max": max(lat)}
    first = None
    if 0 in path.decoded and 0 in path.handed:
        first = (path.decoded[0] - path.handed[0]) * 1000
    key = [(path.decoded[k] - path.handed[k]) * 1000 for k in range(warmup, total, FPS)
           if k in path.decoded and k in path.handed]
    return {"tag": stats(path.tagged), "decoded": stats(path.decoded), "first": first,
            "key": statistics.median(key) if key else None,
            "missing": sum(1 for k in range(warmup, total) if k not in path.decoded),
            "stray": sorted(k for k in path.decoded if k >= total)[:5]}


def ms(arrived, path, k):
    if k not in arrived or k not in path.handed:
        return "-"
    return f"{(arrived[k] - path.handed[k]) * 1000:.1f}"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--seconds", type=float, default=60, help="length of the run (default 60)")
    ap.add_argument("--warmup", type=float, default=2, help="seconds left out of the figures (default 2)")
    ap.add_argument("--converter", default=os.path.join(REPO, "build/bin/ffmpeg"), help="our converter")
    ap.add_argument("--paths", default="ours,stock,stock-1t", help="which paths to run (default all three)")
    ap.add_argument("--decoder", default=os.path.join(REPO, "build/bench/flv_strip_decoder"),
                    help="the viewer's decoder: bench/flv_strip_decoder (default, from build/bench) "
                         "or 'ffmpeg' for the stock tool")
    ap.add_argument("--trace", action="store_true", help="print every frame's latencies")
    args = ap.parse_args()

    if args.decoder != "ffmpeg" and not os.access(args.decoder, os.X_OK):
        sys.exit(f"{args.decoder} not found: build the flv_strip_decoder target or pass --decoder")
    scene = Scene()
    total = int(args.seconds * FPS)
    warmup = int(args.warmup * FPS)
    with tempfile.TemporaryDirectory(prefix="vt-latency-") as workdir:
        paths = []
        for name in args.paths.split(","):
            if name == "ours":
                paths.append(OurConverter(workdir, args.converter))
            elif name == "stock":
                paths.append(StockFfmpeg(name, workdir, None))
            elif name == "stock-1t":
                paths.append(StockFfmpeg(name, workdir, 1))
            else:
                sys.exit(f"unknown path {name}")
        for p in paths:
            p.start(args.decoder)
        load_before = os.getloadavg()[0]
        start = time.monotonic() + 0.2
        for k in range(total):
            frame = scene.frame(k)
            delay = start + k / FPS - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            for p in paths:
                p.frames.put((k, frame))
        # Let the last frames come through before closing the inputs.
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline and not all(total - 1 in p.decoded for p in paths):
            time.sleep(0.05)
        for p in paths:
            p.finish(10)
        load_after = os.getloadavg()[0]
        if args.trace:
            for k in range(total):
                print(k, *(f"{p.name} {ms(p.tagged, p, k)} {ms(p.decoded, p, k)}" for p in paths))

        print(f"{total} frames at {FPS} fps ({args.seconds:g} s), first {warmup} left out; "
              f"load average {load_before:.2f} -> {load_after:.2f} on {os.cpu_count()} cores")
        print(f"{'path':<10} {'to FLV tag ms (median/p95/max)':>32} {'to decoded ms (median/p95/max)':>32} "
              f"{'key fr.':>7} {'first':>7} {'missing':>7} {'enc CPU %':>9} {'kbit/s':>7}")
        for p in paths:
            s = summary(p, total, warmup)
            def fmt(st):
                return "-" if not st else f"{st['median']:.1f} / {st['p95']:.1f} / {st['max']:.1f}"
            cpu = "-" if p.encoder_cpu is None else f"{100 * p.encoder_cpu / args.seconds:.1f}"
            first = "-" if s["first"] is None else f"{s['first']:.0f}"
            key = "-" if s["key"] is None else f"{s['key']:.1f}"
            kbps = p.bytes_out * 8 / 1000 / args.seconds
            print(f"{p.name:<10} {fmt(s['tag']):>32} {fmt(s['decoded']):>32} {key:>7} {first:>7} {s['missing']:>7} "
                  f"{cpu:>9} {kbps:>7.0f}")
            if s["stray"]:
                print(f"  {p.name}: decoded indexes never sent (misread strip?): {s['stray']}")
            for e in p.errors:
                print(f"  {p.name}: {e}")
            for which in ("encoder", "decoder"):
                err = os.path.join(workdir, f"{p.name}-{which}.err")
                if os.path.getsize(err):
                    with open(err, "rb") as f:
                        text = f.read().decode("utf-8", "replace").strip().splitlines()
                    print(f"  {p.name} {which} stderr: " + " | ".join(text[-3:]))


if __name__ == "__main__":
    main()
