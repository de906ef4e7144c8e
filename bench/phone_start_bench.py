#!/usr/bin/python3
"""How long a phone viewer waits for its first pictures while the phone converter rests.

The program runs on VTCAM_CAPTURE=file:<video> (testsrc, 640x480, 10 fps, made with the stock
ffmpeg). Each round checks that no phone converter runs, asks for /vdata.rtp, times the
first pictures (the second whole record, a little-endian length and that many bytes; the
first is the file's head), checks both are 3GP and hangs up; the program then has --gap
seconds to stop the converter again. Last, the job's PSS without and with a phone viewer.

/usr/bin/python3 bench/phone_start_bench.py [--rounds 10] [--gap 3] BIN
"""
import argparse
import os
import re
import socket
import statistics
import sys
import tempfile
import time

from bench_camera import BenchCamera
from cpu_probe import descendants, job_pss, make_input


def phone_converters(pid):
    found = 0
    for p in descendants(pid):
        try:
            with open(f"/proc/{p}/cmdline", "rb") as f:
                found += b"sls://" in f.read()
        except OSError:
            pass
    return found


def records(data):
    out, pos = [], 0
    while pos + 4 <= len(data) and pos + 4 + int.from_bytes(data[pos:pos + 4], "little") <= len(data):
        n = int.from_bytes(data[pos:pos + 4], "little")
        out.append(data[pos + 4:pos + 4 + n])
        pos += 4 + n
    return out


def first_pictures(port, limit=10):
    """Seconds from the request to the second whole record (the file's head, then the first
    fragment of pictures), and the two records."""
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=limit) as s:
        s.sendall(b"GET /vdata.rtp HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        got = b""
        while len(records(got)) < 2:
            chunk = s.recv(65536)
            if not chunk:
                raise RuntimeError(f"stream ended after {len(got)} bytes")
            got += chunk
        return time.monotonic() - start, records(got)[:2]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("bin")
    ap.add_argument("--rounds", type=int, default=10)
    ap.add_argument("--gap", type=float, default=3)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="vt-phone-") as root:
        video = os.path.join(root, "moving.mp4")
        make_input(video, False)
        cam = BenchCamera(os.path.join(root, "cam"), os.path.abspath(args.bin), "file:" + video)
        cam.start()
        try:
            if not cam.wait_for("Got whole FLV header/meta-data", 60):
                sys.exit("no live stream:\n" + cam.log()[-2000:])
            port = int(re.search(r"listen port=(\d+)", cam.log()).group(1))
            time.sleep(args.gap)
            resting = job_pss(cam.proc.pid)
            waits = []
            for i in range(args.rounds):
                running = phone_converters(cam.proc.pid)
                seconds, (head, pictures) = first_pictures(port)
                watched = job_pss(cam.proc.pid)
                ok = b"ftyp" in head[:16] and b"moof" in pictures[:16]
                print(f"round {i + 1}: phone converters before asking {running}, first pictures after {seconds:.3f} s "
                      f"({len(head)} + {len(pictures)} bytes, {'3GP head and fragment' if ok else 'NOT 3GP'})",
                      flush=True)
                waits.append(seconds)
                time.sleep(args.gap)
            print(f"first pictures: min {min(waits):.3f} s, median {statistics.median(waits):.3f} s, "
                  f"max {max(waits):.3f} s over {len(waits)} rounds")
            for name, pss in (("no phone viewer", resting), ("one phone viewer", watched)):
                print(f"PSS with {name}: {sum(pss.values()) / 1024:.1f} MB "
                      f"{ {k: round(v / 1024, 1) for k, v in pss.items()} }")
        finally:
            cam.stop()
            cam.close()


if __name__ == "__main__":
    main()
