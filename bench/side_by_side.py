#!/usr/bin/python3
"""Our program beside Debian's motion daemon on the same 640x480 10 fps input, from /proc.

The stock ffmpeg makes two inputs: a moving scene (testsrc2) and its first picture held, both
640x480 at 10 fps, H.264 in MP4, long enough to last one program's run. Each program runs in
turn with motion detection on and 0 / 1 / 15 viewers of its live stream:

* ours: a copy of build/bin started through bench_camera.py with VTCAM_CAPTURE=file:<input>,
  every channel armed (CameraInfo.xml) and pointing at a pyftpdlib server on loopback (a
  separate process, not counted), viewers of GET /vdata.flv;
* motion: `motion -n -c <temp>/motion.conf`, its network-camera input reading the same file
  (netcam_url file://...), stream and web control on 127.0.0.1 only, viewers of its MJPEG
  stream port; once without recording, once recording continuously (movie_output on,
  emulate_motion on). Skipped with a message when motion is not installed
  (bench/install-peer.sh installs it).

For each step: CPU-seconds of the job (the program and every descendant, children reaped
during the window included through cutime/cstime) over the window, RSS and PSS of every
process of the job (smaps_rollup) at the end of the window, and the bytes each viewer read.
Last, our program on the test scene with 1, 4 and 10 channels (no viewers): CPU per channel.

When run as root it re-runs itself in a private network namespace (only loopback), so the
fixed ports cannot meet other programs on the machine. Run by hand:

  /usr/bin/python3 bench/side_by_side.py [--window 30] [--rounds 3] [--quick] [--only ours,motion,channels]
"""
import argparse
import os
import re
import selectors
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
TICK = os.sysconf("SC_CLK_TCK")
VIEWER_STEPS = (0, 1, 15)
STILL_STEPS = (0, 1)
CHANNEL_STEPS = (1, 4, 10)


# ---- /proc -------------------------------------------------------------------------------

def read_stat(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return {"ppid": int(fields[1]), "own": (int(fields[11]) + int(fields[12])) / TICK,
            "reaped": (int(fields[13]) + int(fields[14])) / TICK, "start": int(fields[19])}


def process_kind(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            argv = f.read().split(b"\0")
    except OSError:
        return "?"
    line = b" ".join(argv)
    if b"temp.flv" in line:
        return "FLV conv"
    if b"temp.3gp" in line:
        return "3GP conv"
    if line.endswith(b".jpg") or b".jpg " in line:
        return "snapshot conv"
    return os.path.basename(argv[0].decode(errors="replace")) or "?"


def job_tree(root):
    """The root and all its descendants: {(pid, starttime): stat}."""
    stats = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stats[int(entry)] = read_stat(entry)
            except (OSError, IndexError, ValueError):
                pass
    members, todo = {}, [root]
    children = {}
    for pid, s in stats.items():
        children.setdefault(s["ppid"], []).append(pid)
    while todo:
        pid = todo.pop()
        if pid in stats:
            members[(pid, stats[pid]["start"])] = stats[pid]
            todo.extend(children.get(pid, []))
    return members


def memory(pid):
    """(Rss, Pss) in kB from smaps_rollup."""
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            text = f.read()
    except OSError:
        return 0, 0
    value = lambda key: int(re.search(rf"^{key}:\s+(\d+) kB", text, re.M).group(1))
    return value("Rss"), value("Pss")


class JobWindow:
    """CPU of a process tree between begin() and end(). A process alive at the end counts its
    own time since the start (all of it if it is new) and the time of the children it reaped;
    one that died counts through its parent's reaped time, less what it had at the start."""

    def __init__(self, root, names):
        self.root, self.names = root, names

    def begin(self):
        self.before = job_tree(self.root)
        for (pid, _), _s in self.before.items():
            self.names.setdefault(pid, process_kind(pid) if pid != self.root else "program")
        self.t0 = time.monotonic()

    def end(self):
        after = job_tree(self.root)
        elapsed = time.monotonic() - self.t0
        per_kind, mem = {}, {}
        total = 0.0
        for key, s in after.items():
            pid = key[0]
            kind = self.names.setdefault(pid, "program" if pid == self.root else process_kind(pid))
            was = self.before.get(key)
            cpu = s["own"] + s["reaped"] - ((was["own"] + was["reaped"]) if was else 0.0)
            total += cpu
            per_kind[kind] = per_kind.get(kind, 0.0) + cpu
            rss, pss = memory(pid)
            m = mem.setdefault(kind, [0, 0, 0])
            m[0] += rss
            m[1] += pss
            m[2] += 1
        for key, was in self.before.items():
            if key not in after:
                total -= was["own"] + was["reaped"]
        return {"elapsed": elapsed, "cpu_pct": 100 * total / elapsed,
                "kinds": {k: 100 * v / elapsed for k, v in per_kind.items()},
                "rss": sum(m[0] for m in mem.values()) / 1024, "pss": sum(m[1] for m in mem.values()) / 1024,
                "mem": {k: (m[0] / 1024, m[1] / 1024, m[2]) for k, m in mem.items()}}


# ---- viewers -----------------------------------------------------------------------------

class Viewers:
    """Live-stream readers on one selector thread; each sends a GET and counts what comes back."""

    def __init__(self, port, path):
        self.port, self.path = port, path
        self.sel = selectors.DefaultSelector()
        self.lock = threading.Lock()
        self.socks, self.counts, self.heads = [], [], []
        self.stop = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def set(self, n):
        with self.lock:
            for s in self.socks:
                self.sel.unregister(s)
                s.close()
            self.socks, self.counts, self.heads = [], [], []
        for _ in range(n):
            s = socket.create_connection(("127.0.0.1", self.port), timeout=5)
            s.sendall(f"GET {self.path} HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n".encode())
            s.setblocking(False)
            with self.lock:
                self.sel.register(s, selectors.EVENT_READ, len(self.socks))
                self.socks.append(s)
                self.counts.append(0)
                self.heads.append(b"")

    def snapshot(self):
        with self.lock:
            return list(self.counts)

    def _run(self):
        while not self.stop:
            with self.lock:
                empty = not self.socks
            if empty:
                time.sleep(0.05)
                continue
            for key, _ in self.sel.select(0.1):
                try:
                    data = key.fileobj.recv(262144)
                except BlockingIOError:
                    continue
                except OSError:
                    data = b""
                with self.lock:
                    i = key.data
                    if i >= len(self.socks) or self.socks[i] is not key.fileobj:
                        continue
                    if not data:
                        self.sel.unregister(key.fileobj)
                        continue
                    self.counts[i] += len(data)
                    if len(self.heads[i]) < 512:
                        self.heads[i] += data[:512 - len(self.heads[i])]

    def bad_heads(self, body_start):
        with self.lock:
            return [h[:200] for h in self.heads
                    if not h.startswith(b"HTTP/1.") or b" 200" not in h[:16] or body_start not in h]

    def close(self):
        self.set(0)
        self.stop = True
        self.thread.join(2)


CHECKPOINT = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d):(\d{3})\|\d+ Video capture checkpoint\. "
                        r"last capture=\d+; now capture=(\d+)", re.M)


def capture_rate(log_text, begin, end):
    """Frames per second the program captured (all channels), from its periodic checkpoint
    lines near the window: tells a program that kept up from one the machine starved."""
    points = [(time.mktime(time.strptime(m.group(1), "%Y-%m-%d %H:%M:%S")) + int(m.group(2)) / 1000, int(m.group(3)))
              for m in CHECKPOINT.finditer(log_text)]
    points = [p for p in points if begin - 11 <= p[0] <= end + 1]
    if len(points) < 2 or points[-1][0] - points[0][0] < 5:
        return None
    return (points[-1][1] - points[0][1]) / (points[-1][0] - points[0][0])


def measure(root_pid, names, viewers, settle, window, log=None):
    time.sleep(settle)
    meter = JobWindow(root_pid, names)
    before = viewers.snapshot() if viewers else []
    alarms_before = log().count("MD Triggered") if log else 0
    wall = time.time()
    meter.begin()
    time.sleep(window)
    result = meter.end()
    after = viewers.snapshot() if viewers else []
    result["rates"] = [(b - a) * 8 / 1000 / result["elapsed"] for a, b in zip(before, after)]
    text = log() if log else ""
    result["alarms"] = text.count("MD Triggered") - alarms_before if log else None
    result["fps"] = capture_rate(text, wall, time.time()) if log else None
    return result


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.2)
    return False


# ---- inputs ------------------------------------------------------------------------------

def make_input(path, seconds, still):
    """testsrc2 (shapes and a counter moving over colour bars), or its first picture held."""
    hold = ["-vf", "loop=loop=-1:size=1:start=0"] if still else []
    subprocess.run(["/usr/bin/ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=640x480:rate=10",
                    *hold, "-t", str(seconds), "-c:v", "libx264", "-preset", "veryfast", "-g", "20", "-bf", "0",
                    "-pix_fmt", "yuv420p", "-movflags", "+faststart", path], check=True)


# ---- the programs ------------------------------------------------------------------------

def run_steps(pid, names, viewers, steps, args, log=None, label=""):
    """Rounds of viewer steps: {viewers: [result per round]}."""
    results = {n: [] for n in steps}
    for r in range(args.rounds):
        for n in steps:
            if viewers:
                viewers.set(n)
            res = measure(pid, names, viewers, args.settle, args.window, log)
            if viewers and n:
                res["bad"] = viewers.bad_heads(viewers.body_start)
            results[n].append(res)
            print(f"  {label} round {r + 1} viewers {n:>2}: CPU {res['cpu_pct']:5.1f} %  "
                  f"PSS {res['pss']:5.1f} MB  " + (f"{statistics.mean(res['rates']):6.0f} kbit/s per viewer"
                                                  if res["rates"] else ""), flush=True)
        if viewers:
            viewers.set(0)
    return results


class FtpServer:
    """pyftpdlib as its own process on loopback, the alarm clips' destination."""

    def __init__(self, root, user, password):
        self.dir = os.path.join(root, "ftp")
        os.makedirs(self.dir)
        # The port field reads 50000 and above as active mode.
        self.port = next(port for port in iter(free_port, None) if port < 50000)
        self.proc = subprocess.Popen(["/usr/bin/python3", "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", str(self.port),
                                      "-w", "-d", self.dir, "-u", user, "-P", password],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_port(self.port, 15):
            sys.exit("the FTP server did not start")

    def close(self):
        self.proc.terminate()
        self.proc.wait()


def run_ours(args, capture, steps, channels=1, with_viewers=True, label="ours"):
    with tempfile.TemporaryDirectory(prefix="vt-side-") as root:
        camera = BenchCamera(root, args.bin, capture)
        user, password = camera.ftp_login()
        ftp = FtpServer(root, user, password)
        infos = "".join(f'<CameraInfo channelID="{c}" alarmStatus="1" audioEnable="0">'
                        f'<FTPConfig id="0" serverAddr="127.0.0.1" userName="{user}" password="{password}" '
                        f'remotePath="./" port="{ftp.port}"/></CameraInfo>\r\n' for c in range(channels))
        with open(os.path.join(camera.prog, "CameraInfo.xml"), "w") as f:
            f.write(f"<?xml version='1.0' ?>\r\n<CameraInfos listenPort=\"{free_port()}\">\r\n{infos}</CameraInfos>\r\n")
        proc = camera.start()
        viewers = None
        try:
            if not camera.wait_for("Camera Http Server startup!", 60) or \
                    not camera.wait_for("Got whole FLV header/meta-data", 60):
                sys.exit("our program did not start its live stream; see its log:\n" + camera.log()[-2000:])
            port = int(re.search(r"Camera Http Server startup! listen port=(\d+)", camera.log()).group(1))
            deadline = time.monotonic() + 60
            while camera.log().count("Got whole FLV header") < channels and time.monotonic() < deadline:
                time.sleep(0.2)
            time.sleep(args.warmup)
            if with_viewers:
                viewers = Viewers(port, "/vdata.flv")
                viewers.body_start = b"\r\n\r\nFLV"
            results = run_steps(proc.pid, {}, viewers, steps, args, camera.log, label)
            if proc.poll() is not None:
                sys.exit(f"our program ended during the run; see its log:\n{camera.log()[-2000:]}")
        finally:
            if viewers:
                viewers.close()
            camera.stop(20)
            camera.close()
            ftp.close()
    return results


MOTION_BASE = """daemon off
setup_mode off
log_file {dir}/motion.log
log_level 6
target_dir {dir}/out
pid_file {dir}/motion.pid
netcam_url file://{input}
width 640
height 480
framerate 10
text_left CAMERA1
text_right %Y-%m-%d\\n%T-%q
threshold 1500
despeckle_filter EedDl
minimum_motion_frames 1
event_gap 60
pre_capture 3
post_capture 0
picture_output off
snapshot_interval 0
movie_quality 45
movie_codec mkv
movie_max_time 60
webcontrol_port {control}
webcontrol_localhost on
webcontrol_parms 0
stream_port {stream}
stream_localhost on
stream_maxrate 10
stream_quality 50
"""


def run_motion(args, input_path, steps, record, label):
    with tempfile.TemporaryDirectory(prefix="vt-side-motion-") as root:
        os.makedirs(os.path.join(root, "out"))
        stream, control = free_port(), free_port()
        conf = os.path.join(root, "motion.conf")
        with open(conf, "w") as f:
            f.write(MOTION_BASE.format(dir=root, input=input_path, control=control, stream=stream))
            f.write("movie_output on\nemulate_motion on\n" if record else "movie_output off\nemulate_motion off\n")
        proc = subprocess.Popen([args.motion, "-n", "-c", conf], cwd=root,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        viewers = None
        log = lambda: open(os.path.join(root, "motion.log"), errors="replace").read() \
            if os.path.exists(os.path.join(root, "motion.log")) else ""
        try:
            deadline = time.monotonic() + 60
            while "connected" not in log() and time.monotonic() < deadline and proc.poll() is None:
                time.sleep(0.2)
            if not wait_port(stream, 10) or "connected" not in log():
                sys.exit("motion did not start its camera; its log:\n" + log()[-2000:])
            time.sleep(args.warmup)
            viewers = Viewers(stream, "/")
            viewers.body_start = b"\r\n\r\n"
            results = run_steps(proc.pid, {proc.pid: "motion"}, viewers, steps, args, None, label)
            if proc.poll() is not None:
                sys.exit("motion ended during the run; its log:\n" + log()[-2000:])
            movies = sum(os.path.getsize(os.path.join(d, n)) for d, _, ns in os.walk(os.path.join(root, "out")) for n in ns)
            if record and not movies:
                print("  warning: motion recorded nothing")
        finally:
            if viewers:
                viewers.close()
            proc.terminate()
            try:
                proc.wait(20)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
    return results


# ---- printing ----------------------------------------------------------------------------

def span(values, fmt="{:.1f}"):
    lo, hi = min(values), max(values)
    a, b = fmt.format(lo), fmt.format(hi)
    return a if a == b else f"{a}-{b}"


def pss_split(results, order):
    """Per-kind PSS of the last measurement, in the given order, then any other kind."""
    last = results[-1]["mem"]
    kinds = [k for k in order if k in last] + sorted(k for k in last if k not in order)
    parts = [f"{last[k][1]:.0f}" + (f" {k}" if k != order[0] else "") + (f" x{last[k][2]}" if last[k][2] > 1 else "")
             for k in kinds]
    return " + ".join(parts)


def summary_row(name, results, steps, codec, order):
    everything = [r for n in steps for r in results[n]]
    cpu = " / ".join(span([r["cpu_pct"] for r in results[n]]) for n in steps)
    rates = [statistics.mean(r["rates"]) for n in steps if n for r in results[n]]
    pss = span([r["pss"] for r in everything], "{:.0f}")
    split = pss_split(everything, order)
    if len(everything[-1]["mem"]) > 1:
        pss += f" ({split})"
    rate = (span(rates, "{:.0f}") + f" ({codec})") if rates else "-"
    return (f"| {name} | {' / '.join(map(str, steps))} | {cpu} | {span([r['rss'] for r in everything], '{:.0f}')} "
            f"| {pss} | {rate} |")


def notes(rs):
    alarms = [str(r["alarms"]) for r in rs if r["alarms"] is not None]
    fps = [f"{r['fps']:.1f}" if r["fps"] is not None else "?" for r in rs if r["alarms"] is not None]
    bad = sum(len(r.get("bad", [])) for r in rs)
    out = []
    if alarms:
        out.append(f"alarms {'/'.join(alarms)}, captured fps {'/'.join(fps)}")
    if bad:
        out.append(f"{bad} viewers without a 200 reply and stream start")
    return "; ".join(out)


def detail_rows(name, results, steps):
    rows = []
    for n in steps:
        rs = results[n]
        kinds = sorted({k for r in rs for k in r["kinds"]})
        cpu = ", ".join(f"{k} {statistics.median([r['kinds'].get(k, 0) for r in rs]):.1f}" for k in kinds)
        note = notes(rs)
        rows.append(f"| {name} | {n} | {statistics.median([r['cpu_pct'] for r in rs]):.1f} | {cpu} | {note} |")
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--bin", default=os.path.join(REPO, "build/bin"), help="our program directory to copy")
    ap.add_argument("--motion", default=shutil.which("motion") or "/usr/bin/motion", help="the peer daemon")
    ap.add_argument("--window", type=float, default=30, help="seconds of each CPU window (default 30)")
    ap.add_argument("--rounds", type=int, default=3, help="rounds of every step (default 3)")
    ap.add_argument("--settle", type=float, default=5, help="seconds after the viewers change (default 5)")
    ap.add_argument("--warmup", type=float, default=5, help="seconds after a program starts (default 5)")
    ap.add_argument("--quick", action="store_true", help="1 round of 10 s windows")
    ap.add_argument("--only", default="ours,motion,still,channels",
                    help="comma list of parts: ours, motion, still, channels (default all)")
    ap.add_argument("--no-netns", action="store_true", help="stay in the machine's network namespace")
    args = ap.parse_args()
    if args.quick:
        args.rounds, args.window, args.settle, args.warmup = 1, 10, 3, 3
    parts = set(args.only.split(","))

    if os.geteuid() == 0 and not args.no_netns and shutil.which("unshare") and "VT_SIDE_NETNS" not in os.environ:
        env = dict(os.environ, VT_SIDE_NETNS="1")
        rc = subprocess.call(["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$0" "$@"',
                              sys.executable, os.path.abspath(__file__)] + sys.argv[1:], env=env)
        sys.exit(rc)

    have_motion = os.access(args.motion, os.X_OK)
    if not have_motion and parts & {"motion", "still"}:
        print(f"motion rows skipped: {args.motion} is not installed (run bench/install-peer.sh)")
    # One program's run: warm-up, then the rounds of its steps; the input lasts it without looping.
    seconds = int(args.warmup + args.rounds * len(VIEWER_STEPS) * (args.settle + args.window + 1) + 60)
    load = [os.getloadavg()]
    started = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    summary, details, channel_rows = [], [], []
    ours_order = ["program", "FLV conv", "3GP conv"]
    with tempfile.TemporaryDirectory(prefix="vt-side-input-") as inputs:
        moving, still = os.path.join(inputs, "moving.mp4"), os.path.join(inputs, "still.mp4")
        if "ours" in parts or ("motion" in parts and have_motion):
            make_input(moving, seconds, still=False)
        if "still" in parts:
            make_input(still, seconds, still=True)
        print(f"inputs: {seconds} s, 640x480, 10 fps; load average {load[0][0]:.2f} on {os.cpu_count()} cores",
              flush=True)
        if "ours" in parts:
            r = run_ours(args, f"file:{moving}", VIEWER_STEPS)
            summary.append(summary_row("ours (program + FLV and 3GP converters)", r, VIEWER_STEPS, "H.264", ours_order))
            details += detail_rows("ours", r, VIEWER_STEPS)
        if "motion" in parts and have_motion:
            r = run_motion(args, moving, VIEWER_STEPS, False, "motion")
            summary.append(summary_row("`motion`, MJPEG stream, no recording", r, VIEWER_STEPS, "MJPEG", ["motion"]))
            details += detail_rows("motion", r, VIEWER_STEPS)
            r = run_motion(args, moving, VIEWER_STEPS, True, "motion rec")
            summary.append(summary_row("`motion` recording continuously as well", r, VIEWER_STEPS, "MJPEG", ["motion"]))
            details += detail_rows("motion rec", r, VIEWER_STEPS)
        if "still" in parts:
            r = run_ours(args, f"file:{still}", STILL_STEPS, label="ours still")
            summary.append(summary_row("ours, still scene", r, STILL_STEPS, "H.264", ours_order))
            details += detail_rows("ours still", r, STILL_STEPS)
            if have_motion:
                r = run_motion(args, still, STILL_STEPS, False, "motion still")
                summary.append(summary_row("`motion`, still scene", r, STILL_STEPS, "MJPEG", ["motion"]))
                details += detail_rows("motion still", r, STILL_STEPS)
        load.append(os.getloadavg())
    if "channels" in parts:
        base = None
        for n in CHANNEL_STEPS:
            r = run_ours(args, f"test:channels={n}", (0,), channels=n, with_viewers=False,
                         label=f"ours {n} ch")[0]
            prog = [x["kinds"].get("program", 0) for x in r]
            job = [x["cpu_pct"] for x in r]
            base = base or statistics.median(prog)
            channel_rows.append(
                f"| {n} | {span(prog)} | {span([p / n for p in prog], '{:.2f}')} | {span(job)} | "
                f"{span([j / n for j in job], '{:.2f}')} | {statistics.median(prog) / base:.1f}x | "
                f"{span([x['pss'] for x in r], '{:.0f}')} ({pss_split(r, ours_order)}) | {notes(r)} |")
        load.append(os.getloadavg())

    rounds = f"{args.rounds} round{'s' if args.rounds > 1 else ''} of {args.window:g} s"
    print(f"\nstarted {started}; {rounds} per step; load average "
          + " -> ".join(f"{l[0]:.2f}" for l in load) + f" on {os.cpu_count()} cores")
    if summary:
        print("\n| program | viewers | CPU % of a core (all its processes), min-max over rounds | RSS MB | "
              "PSS MB (per process) | kbit/s per viewer |")
        print("|---|---|---|---|---|---|")
        print("\n".join(summary))
        print("\nMedian CPU % of a core per process kind:\n")
        print("| program | viewers | job | per process | notes |")
        print("|---|---|---|---|---|")
        print("\n".join(details))
    if channel_rows:
        print("\nOur program on the test scene, every channel armed, no viewers:\n")
        print("| channels | program CPU % | program per channel | job CPU % | job per channel | "
              "program vs 1 channel | PSS MB (per process) | notes |")
        print("|---|---|---|---|---|---|---|---|")
        print("\n".join(channel_rows))


if __name__ == "__main__":
    main()
