#!/usr/bin/python3
"""CPU and PSS of the whole job (the program, its converters and any other child) for one or
more program directories run side by side on the same input, so that a before/after pair is
measured under the same load of the machine.

Each program directory is started through BenchCamera on VTCAM_CAPTURE=file:<video> (made
with the stock ffmpeg: testsrc 640x480 at 10 fps, or one still picture of it with --still),
channel 0 is armed, and the steps are measured over the same windows for every program: 0
viewers, then 1, then --viewers of /vdata.flv (--phone adds that many /vdata.rtp viewers
to each step). CPU is utime + stime of the program, its live children and the children it
reaped, as a percentage of one core; PSS from smaps_rollup at the end of each window.

/usr/bin/python3 bench/cpu_probe.py [--still] [--window 30] [--steps 0,1,15] BIN [BIN...]
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time
import urllib.request

from bench_camera import BenchCamera
from media_viewers_bench import Viewers

TICK = os.sysconf("SC_CLK_TCK")


def stat_fields(pid):
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()


def descendants(pid):
    kids = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                kids.setdefault(int(stat_fields(entry)[1]), []).append(int(entry))
            except OSError:
                pass
    found, todo = [], [pid]
    while todo:
        p = todo.pop()
        for k in kids.get(p, []):
            found.append(k)
            todo.append(k)
    return found


def job_cpu(pid):
    """CPU seconds of pid, its living descendants and the children they reaped."""
    total = 0
    for p in [pid] + descendants(pid):
        try:
            f = stat_fields(p)
        except OSError:
            continue
        total += sum(int(x) for x in f[11:15])  # utime stime cutime cstime
    return total / TICK


def own_cpu(pid):
    """CPU seconds of the program alone (all its threads)."""
    return sum(int(x) for x in stat_fields(pid)[11:13]) / TICK


def job_pss(pid):
    total = {}
    for p in [pid] + descendants(pid):
        try:
            with open(f"/proc/{p}/smaps_rollup") as f:
                kb = int(re.search(r"^Pss:\s+(\d+) kB", f.read(), re.M).group(1))
            with open(f"/proc/{p}/cmdline", "rb") as f:
                cmd = f.read().decode(errors="replace")
        except (OSError, AttributeError):
            continue
        kind = "lss" if "lss://" in cmd else "sls" if "sls://" in cmd else "prog" if p == pid else "other"
        total[kind] = total.get(kind, 0) + kb
    return total


def make_input(path, still):
    src = "testsrc=size=640x480:rate=10"
    vf = ["-vf", "select=eq(n\\,0),loop=loop=-1:size=1,fps=10"] if still else []
    subprocess.run(["/usr/bin/ffmpeg", "-y", "-loglevel", "error", "-f", "lavfi", "-i", src, *vf, "-t", "60",
                    "-pix_fmt", "yuv420p", path], check=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("bins", nargs="+")
    ap.add_argument("--still", action="store_true")
    ap.add_argument("--window", type=float, default=30)
    ap.add_argument("--settle", type=float, default=5)
    ap.add_argument("--steps", default="0,1,15")
    ap.add_argument("--phone", type=int, default=0, help="3GP viewers added in every step but the first")
    ap.add_argument("--capture", help="VTCAM_CAPTURE instead of the made file")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="vt-cpu-") as root:
        video = os.path.join(root, "still.mp4" if args.still else "moving.mp4")
        capture = args.capture or "file:" + video
        if not args.capture:
            make_input(video, args.still)
        cams = []
        try:
            for i, b in enumerate(args.bins):
                cam = BenchCamera(os.path.join(root, f"c{i}"), os.path.abspath(b), capture)
                cam.start()
                cams.append(cam)
            for cam in cams:
                if not cam.wait_for("Got whole FLV header/meta-data", 60):
                    sys.exit("no live stream:\n" + cam.log()[-2000:])
                cam.port = int(re.search(r"listen port=(\d+)", cam.log()).group(1))
                urllib.request.urlopen(f"http://127.0.0.1:{cam.port}/schedule_setup.html?method=setAlarmStatus"
                                       "&ALARM_STATUS=1", timeout=10).read()
                cam.viewers = Viewers(cam.port)
                cam.phones = Viewers(cam.port, "/vdata.rtp")
            have = 0
            print(f"load {os.getloadavg()[0]:.1f}", flush=True)
            for step in [int(s) for s in args.steps.split(",")]:
                for cam in cams:
                    cam.viewers.add(step - have)
                    if step and not cam.phones.counts and args.phone:
                        cam.phones.add(args.phone)
                have = step
                time.sleep(args.settle)
                before = [job_cpu(c.proc.pid) for c in cams]
                own_before = [own_cpu(c.proc.pid) for c in cams]
                got = [sum(c.viewers.snapshot()) + sum(c.phones.snapshot()) for c in cams]
                t0 = time.monotonic()
                time.sleep(args.window)
                dt = time.monotonic() - t0
                for i, c in enumerate(cams):
                    cpu = 100 * (job_cpu(c.proc.pid) - before[i]) / dt
                    own = 100 * (own_cpu(c.proc.pid) - own_before[i]) / dt
                    kbit = (sum(c.viewers.snapshot()) + sum(c.phones.snapshot()) - got[i]) * 8 / 1000 / dt
                    pss = job_pss(c.proc.pid)
                    print(f"{args.bins[i]:30s} viewers {step:2d} cpu {cpu:5.2f} % (program {own:5.2f} %)  pss {sum(pss.values())/1024:5.1f} MB "
                          f"{ {k: round(v / 1024, 1) for k, v in pss.items()} }  {kbit:7.0f} kbit/s", flush=True)
            print(f"load {os.getloadavg()[0]:.1f}", flush=True)
        finally:
            for cam in cams:
                if getattr(cam, "viewers", None):
                    cam.viewers.close()
                    cam.phones.close()
                if cam.proc:
                    cam.proc.terminate()
                    try:
                        cam.proc.wait(20)
                    except subprocess.TimeoutExpired:
                        cam.proc.kill()
                        cam.proc.wait()
                cam.close()


if __name__ == "__main__":
    main()
