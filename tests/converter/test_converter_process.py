"""The built converter run the way the stream convertors run it: a loopback listener stands in
for the program, takes the greetings, feeds raw frames and audio; the output is checked with
ffprobe and decoded with Debian's ffmpeg for pixel checks."""
import json
import os
import shlex
import socket
import struct
import subprocess
import tempfile
import threading
import time

import pytest

BIN_DIR = os.environ.get("VT_BIN_DIR", os.path.join(os.path.dirname(__file__), "../../build/bin"))
CONVERTER = os.path.join(BIN_DIR, "ffmpeg")
AUDIO_KEY_BIT = 0x1000000
W, H = 640, 480
D = "/opt/vt cam/"  # seed paths are placeholders: they need not exist
VIDEO_IN = f'"{D}ffmpeg" -y -r 10 -s 640x480 -pix_fmt yuyv422 -i "{D}seed.yuv" '
AUDIO_IN = f'-ar 11025 -f u8 -ac 1 -i "{D}seed.s16le" -acodec libfaac -ar 44100 '
LINES = {
    "flv": VIDEO_IN + f'"{D}temp.flv" -lss lss://127.0.0.1:%d',
    "flv+audio": VIDEO_IN + AUDIO_IN + f'"{D}temp.flv" -lss lss://127.0.0.1:%d',
    "3gp": VIDEO_IN + f'-s cif "{D}temp.3gp" -lss sls://127.0.0.1:%d',
    "3gp+audio": VIDEO_IN + AUDIO_IN + f'-s cif "{D}temp.3gp" -lss sls://127.0.0.1:%d',
}


def argv_of(line):
    return [CONVERTER] + shlex.split(line)[1:]


def frame(index, w=W, h=H):
    """Dark left half, bright right half, and a mid-grey bar that moves 16 pixels a frame."""
    row = bytearray(b"\x28\x80" * (w // 2) + b"\xd2\x80" * (w // 2))
    start = (index * 16) % w
    row[start * 2:(start + 16) * 2:2] = b"\x80" * 16
    return bytes(row) * h


AUDIO_BLOCK = bytes(128 + int(50 * (((i % 25) - 12) / 12)) for i in range(1103))


class Program:
    """The program's side: a loopback listener and the converter it started."""

    def __init__(self, kind, env=None, listen=True):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        if listen:
            self.listener.listen(4)
        self.proc = subprocess.Popen(argv_of(LINES[kind] % self.listener.getsockname()[1]),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        self.links, self.output = {}, bytearray()

    def accept(self, count):
        """Accepts count connections and reads each greeting; returns {key: connection}."""
        self.listener.settimeout(10)
        for _ in range(count):
            conn, _ = self.listener.accept()
            conn.settimeout(10)
            greeting = b""
            while len(greeting) < 4:
                part = conn.recv(4 - len(greeting))
                assert part, "connection closed during the greeting"
                greeting += part
            self.links[struct.unpack("<I", greeting)[0]] = conn
        return self.links

    def quiet(self, conn, seconds):
        """True when neither bytes nor a close arrive on conn within the time."""
        conn.settimeout(seconds)
        try:
            conn.recv(1)
        except socket.timeout:
            return True
        finally:
            conn.settimeout(10)
        return False

    def start_reading(self, conn):
        def run():
            try:
                while data := conn.recv(65536):
                    self.output.extend(data)
            except OSError:
                pass
        threading.Thread(target=run, daemon=True).start()

    def wait_output_settled(self):
        last = -1
        for _ in range(20):
            if len(self.output) == last:
                return
            last = len(self.output)
            time.sleep(0.5)

    def close_and_wait(self):
        """Closes the program's side; the converter must end with 0 within 3 s."""
        for conn in self.links.values():
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            conn.close()
        self.listener.close()
        start = time.monotonic()
        assert self.proc.wait(5) == 0, self.proc.stderr.read()
        assert time.monotonic() - start < 3

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.listener.close()
        for conn in self.links.values():
            conn.close()


@pytest.fixture
def tmp():
    with tempfile.TemporaryDirectory() as d:
        yield d


def ffprobe(path, *extra):
    out = subprocess.run(["ffprobe", "-v", "error", "-of", "json", *extra, path], check=True,
                         capture_output=True, timeout=30).stdout
    return json.loads(out)


def streams(path, *extra):
    return {s["codec_type"]: s for s in ffprobe(path, *extra, "-show_streams")["streams"]}


def halves_match_input(path, w, h):
    """First picture: left quarter dark (input Y 40), right quarter bright (Y 210), off the bar."""
    gray = subprocess.run(["/usr/bin/ffmpeg", "-v", "error", "-i", path, "-frames:v", "1", "-f", "rawvideo",
                           "-pix_fmt", "gray", "-"], check=True, capture_output=True, timeout=30).stdout
    assert len(gray) == w * h
    row = h // 2 * w
    left, right = gray[row + w // 8:row + w // 4], gray[row + 3 * w // 4:row + 7 * w // 8]
    return sum(left) / len(left) < 70 and sum(right) / len(right) > 180


def flv_tags(data):
    """Walks the whole FLV byte stream; every tag must be whole and its size trailer right."""
    assert data[:3] == b"FLV" and struct.unpack(">I", data[5:9])[0] == 9
    offset, tags = 13, []
    while offset < len(data):
        size = int.from_bytes(data[offset + 1:offset + 4], "big")
        assert offset + size + 15 <= len(data), "FLV stream ends inside a tag"
        assert struct.unpack(">I", data[offset + 11 + size:offset + 15 + size])[0] == size + 11
        tags.append((data[offset], data[offset + 11:offset + 13]))
        offset += size + 15
    return tags


def run_stream(tmp, kind, frames=35):
    """Starts the converter, checks the greetings, feeds input; returns the output file."""
    with_audio = "audio" in kind
    program = Program(kind)
    try:
        links = program.accept(2 if with_audio else 1)
        pid = program.proc.pid
        assert set(links) == ({pid, pid | AUDIO_KEY_BIT} if with_audio else {pid})
        main, audio = links[pid], links.get(pid | AUDIO_KEY_BIT)
        assert program.quiet(main, 0.3)
        program.start_reading(main)
        for i in range(frames):
            main.sendall(frame(i))
            if audio is not None:
                audio.sendall(AUDIO_BLOCK)
        program.wait_output_settled()
        if audio is not None:
            assert program.quiet(audio, 0.1), "output arrived on the audio connection"
        program.close_and_wait()
    finally:
        program.kill()
    path = os.path.join(tmp, "out." + kind[:3])
    with open(path, "wb") as f:
        f.write(program.output)
    return bytes(program.output), path


@pytest.mark.parametrize("kind", ["flv", "flv+audio"])
def test_lss_is_a_live_flv_stream(tmp, kind):
    data, path = run_stream(tmp, kind)
    tags = flv_tags(data)
    assert tags[0][0] == 18
    video_tags = [t for t in tags if t[0] == 9]
    assert video_tags[0][1] == b"\x17\x00"  # decoder configuration first
    assert len(video_tags) == 1 + 35
    info = streams(path)
    assert (info["video"]["codec_name"], info["video"]["width"], info["video"]["height"]) == ("h264", W, H)
    packets = ffprobe(path, "-select_streams", "v", "-show_entries", "packet=pts_time,flags")["packets"]
    keys = [float(p["pts_time"]) for p in packets if "K" in p["flags"]]
    assert len(packets) == 35
    start = keys[0] if "audio" in kind else 0.0
    assert 0.0 <= start <= 0.5
    assert keys == pytest.approx([start, start + 1.0, start + 2.0, start + 3.0], abs=0.002)
    assert halves_match_input(path, W, H)
    if "audio" in kind:
        assert (info["audio"]["codec_name"], int(info["audio"]["sample_rate"]), info["audio"]["channels"]) == \
            ("aac", 44100, 1)
        audio_tags = [t for t in tags if t[0] == 8]
        assert tags.index(audio_tags[0]) < tags.index(video_tags[0])
        assert len(audio_tags) > 140  # 3.5 s of 1024-sample frames at 44100 Hz, less the last
    else:
        assert "audio" not in info


@pytest.mark.parametrize("kind", ["3gp", "3gp+audio"])
def test_sls_records_form_a_playable_cif_file(tmp, kind):
    data, _ = run_stream(tmp, kind)
    offset, records = 0, []
    while offset < len(data):
        assert offset + 4 <= len(data), "stream ends inside a length field"
        length = struct.unpack("<I", data[offset:offset + 4])[0]
        assert offset + 4 + length <= len(data), "stream ends inside a record"
        records.append(data[offset + 4:offset + 4 + length])
        offset += 4 + length
    assert [r[4:8] for r in records] == [b"ftyp", b"moof", b"moof", b"moof"]
    path = os.path.join(tmp, "joined.3gp")
    with open(path, "wb") as f:
        f.write(b"".join(records))
    info = streams(path, "-count_frames")
    assert (info["video"]["codec_name"], info["video"]["width"], info["video"]["height"]) == ("h264", 352, 288)
    assert int(info["video"]["nb_read_frames"]) == 30
    assert halves_match_input(path, 352, 288)
    if "audio" in kind:
        assert info["audio"]["codec_name"] == "aac" and int(info["audio"]["nb_read_frames"]) > 100
    else:
        assert "audio" not in info


@pytest.mark.parametrize("size,expected,length", [("", (640, 480), None), ("-s qcif", (176, 144), None),
                                                  ("", None, 1000)])
def test_snapshot_makes_a_jpeg_or_fails_on_a_short_frame(tmp, size, expected, length):
    source = os.path.join(tmp, "vts1A2B.tmp.yuv")
    with open(source, "wb") as f:
        f.write(frame(3)[:length])
    target = source + ".jpg"
    done = subprocess.run(argv_of(f'"{D}ffmpeg" -y -s 640x480 -pix_fmt yuyv422 -i "{source}" {size} "{target}"'),
                          capture_output=True, timeout=10)
    if expected is None:
        assert done.returncode != 0 and b"1000 bytes" in done.stderr
        assert not os.path.exists(target)
        return
    assert done.returncode == 0, done.stderr
    info = streams(target)["video"]
    assert (info["codec_name"], info["width"], info["height"]) == ("mjpeg", *expected)
    assert halves_match_input(target, *expected)
    assert sorted(os.listdir(tmp)) == sorted([os.path.basename(source), os.path.basename(target)])


@pytest.mark.parametrize("kind,frames", [("flv", 5), ("3gp+audio", 0)])
def test_exits_when_the_program_closes_midstream_or_before_any_input(kind, frames):
    program = Program(kind)
    try:
        links = program.accept(2 if "audio" in kind else 1)
        main = links[program.proc.pid]
        for i in range(frames):
            main.sendall(frame(i))
        if frames:
            main.sendall(frame(frames)[:1000])  # a frame cut short
        program.close_and_wait()
    finally:
        program.kill()


def test_video_goes_on_when_the_program_closes_the_audio_connection():
    program = Program("flv+audio")
    try:
        links = program.accept(2)
        main, audio = links[program.proc.pid], links[program.proc.pid | AUDIO_KEY_BIT]
        program.start_reading(main)
        for i in range(15):
            main.sendall(frame(i))
            if i < 5:
                audio.sendall(AUDIO_BLOCK)
            elif i == 5:
                audio.close()
        program.wait_output_settled()
        assert program.proc.poll() is None
        assert len([t for t in flv_tags(bytes(program.output)) if t[0] == 9]) == 1 + 15
        program.close_and_wait()
    finally:
        program.kill()


def test_gives_up_on_a_program_that_never_accepts():
    env = dict(os.environ, VT_CONVERTER_IDLE_MS="1500")
    program = Program("flv", env=env, listen=False)
    try:
        assert program.proc.wait(5) == 1
        assert b"connect" in program.proc.stderr.read()
    finally:
        program.kill()
    blocked = Program("flv", env=env)
    try:
        start = time.monotonic()
        assert blocked.proc.wait(8) == 1 and 1.4 < time.monotonic() - start < 6
        assert b"no input" in blocked.proc.stderr.read()
    finally:
        blocked.kill()

