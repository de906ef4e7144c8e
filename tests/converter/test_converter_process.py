"""The built converter run as the stream convertors run it: a loopback listener stands in for the
program and feeds raw frames and audio; the output is checked with ffprobe and Debian's ffmpeg."""
import contextlib
import json
import os
import shlex
import socket
import struct
import subprocess
import threading
import time

import pytest

BIN_DIR = os.environ.get("VT_BIN_DIR", os.path.join(os.path.dirname(__file__), "../../build/bin"))
CONVERTER = os.path.join(BIN_DIR, "ffmpeg")
AUDIO_KEY_BIT = 0x1000000
D = "/opt/vt cam/"  # seed paths are placeholders: they need not exist
VIDEO_IN = f'"{D}ffmpeg" -y -r 10 -s 640x480 -pix_fmt yuyv422 -i "{D}seed.yuv" '
AUDIO_IN = f'-ar 11025 -f u8 -ac 1 -i "{D}seed.s16le" -acodec libfaac -ar 44100 '
LINES = {
    "flv": VIDEO_IN + f'"{D}temp.flv" -lss lss://127.0.0.1:%d',
    "flv+audio": VIDEO_IN + AUDIO_IN + f'"{D}temp.flv" -lss lss://127.0.0.1:%d',
    "3gp": VIDEO_IN + f'-s cif "{D}temp.3gp" -lss sls://127.0.0.1:%d',
    "3gp+audio": VIDEO_IN + AUDIO_IN + f'-s cif "{D}temp.3gp" -lss sls://127.0.0.1:%d',
}
AUDIO_BLOCK = bytes(128 + int(50 * (((i % 25) - 12) / 12)) for i in range(1103))


def argv_of(line):
    return [CONVERTER] + shlex.split(line)[1:]


def frame(index, w=640, h=480):
    """Dark left half, bright right half, and a mid-grey bar that moves 16 pixels a frame."""
    row = bytearray(b"\x28\x80" * (w // 2) + b"\xd2\x80" * (w // 2))
    start = (index * 16) % w
    row[start * 2:(start + 16) * 2:2] = b"\x80" * 16
    return bytes(row) * h


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
        """Accepts count connections, keyed by their greetings; returns the video and audio one."""
        self.listener.settimeout(10)
        for _ in range(count):
            conn = self.listener.accept()[0]
            conn.settimeout(10)
            self.links[struct.unpack("<I", conn.recv(4, socket.MSG_WAITALL))[0]] = conn  # a cut greeting fails
        return self.links[self.proc.pid], self.links.get(self.proc.pid | AUDIO_KEY_BIT)

    def read_output(self, conn):
        def run():
            with contextlib.suppress(OSError):
                while data := conn.recv(65536):
                    self.output.extend(data)
        threading.Thread(target=run, daemon=True).start()

    def wait_output_settled(self):
        sizes = [-1]
        while len(sizes) < 21 and sizes[-1] != len(self.output):
            sizes.append(len(self.output))
            time.sleep(0.5)

    def close_and_wait(self):
        """Closes the program's side; the converter must end with 0 within 3 s."""
        for conn in self.links.values():
            with contextlib.suppress(OSError):
                conn.shutdown(socket.SHUT_RDWR)
        start = time.monotonic()
        assert self.proc.wait(5) == 0, self.proc.stderr.read()
        assert time.monotonic() - start < 3

    def kill(self):
        self.proc.kill()  # a no-op once it ended
        self.proc.wait()
        for s in [self.listener, *self.links.values()]:
            s.close()


@pytest.fixture
def start():
    started = []
    yield lambda *args, **kwargs: started.append(Program(*args, **kwargs)) or started[-1]
    for program in started:
        program.kill()


def ffprobe(path, *extra):
    return json.loads(subprocess.run(["ffprobe", "-v", "error", "-of", "json", *extra, path], check=True,
                                     capture_output=True, timeout=30).stdout)


def halves_match_input(path, w, h):
    """First picture: left quarter dark (input Y 40), right quarter bright (Y 210), off the bar."""
    gray = subprocess.run(["/usr/bin/ffmpeg", "-v", "error", "-i", path, "-frames:v", "1", "-f", "rawvideo",
                           "-pix_fmt", "gray", "-"], check=True, capture_output=True, timeout=30).stdout
    assert len(gray) == w * h
    row = h // 2 * w
    left, right = gray[row + w // 8:row + w // 4], gray[row + 3 * w // 4:row + 7 * w // 8]
    return sum(left) / len(left) < 70 and sum(right) / len(right) > 180


def flv_tags(data):
    """(type, first two data bytes, whole size) of every tag; each must be whole, its trailer right."""
    assert data[:3] == b"FLV" and struct.unpack(">I", data[5:9])[0] == 9
    offset, tags = 13, []
    while offset < len(data):
        size = int.from_bytes(data[offset + 1:offset + 4], "big")
        assert offset + size + 15 <= len(data), "FLV stream ends inside a tag"
        assert struct.unpack(">I", data[offset + 11 + size:offset + 15 + size])[0] == size + 11
        tags.append((data[offset], data[offset + 11:offset + 13], size + 15))
        offset += size + 15
    return tags


def assert_quiet(conn, seconds):
    conn.settimeout(seconds)
    with pytest.raises(socket.timeout):
        conn.recv(1)
    conn.settimeout(10)


@pytest.mark.parametrize("kind", ["flv", "flv+audio", "3gp", "3gp+audio"])
def test_stream_plays_with_the_input_pictures_and_key_frames_each_second(start, tmp_path, kind):
    program = start(kind)
    main, audio = program.accept(2 if "audio" in kind else 1)
    assert len(program.links) == (2 if audio else 1)
    assert_quiet(main, 0.3)  # the program reads the greeting alone: nothing may follow it before input
    program.read_output(main)
    for i in range(35):
        main.sendall(frame(i))
        if audio:
            audio.sendall(AUDIO_BLOCK)
    program.wait_output_settled()
    if audio:
        assert_quiet(audio, 0.1)  # output goes to the first connection only
    program.close_and_wait()
    data, path = bytes(program.output), tmp_path / "out"
    if kind.startswith("flv"):
        tags = flv_tags(data)
        configs = [(8, b"\xaf\x00")] * ("audio" in kind) + [(9, b"\x17\x00")]
        head = len(configs) + 1  # metadata first, then the decoder configurations, small enough for the reader
        assert tags[0][0] == 18 and [t[:2] for t in tags[1:head]] == configs
        assert tags[head - 1][2] < 512 and 13 + sum(t[2] for t in tags[:head]) < 4096
        assert [t[1][1] for t in tags[head:] if t[0] == 9] == [1] * 35  # every frame, no configuration again
        assert "audio" not in kind or len([t for t in tags if t[0] == 8]) > 140  # 3.5 s of 1024-sample frames
        size, frames = (640, 480), 35
    else:  # records of a 4-byte little-endian length and a piece of a fragmented file
        offset, records = 0, []
        while offset < len(data):
            length = struct.unpack("<I", data[offset:offset + 4])[0]
            assert offset + 4 + length <= len(data), "stream ends inside a record"
            records.append(data[offset + 4:offset + 4 + length])
            offset += 4 + length
        assert [r[4:8] for r in records] == [b"ftyp", b"moof", b"moof", b"moof"]
        data, size, frames = b"".join(records), (352, 288), 30
    path.write_bytes(data)
    info = {s["codec_type"]: s for s in ffprobe(path, "-count_frames", "-show_streams")["streams"]}
    v = info["video"]
    assert (v["codec_name"], v["width"], v["height"], int(v["nb_read_frames"])) == ("h264", *size, frames)
    assert halves_match_input(path, *size)
    a = info.get("audio", {})
    assert (a.get("codec_name"), a.get("sample_rate"), a.get("channels"), int(a.get("nb_read_frames", 0)) > 100) == \
        (("aac", "44100", 1, True) if "audio" in kind else (None, None, None, False))
    packets = ffprobe(path, "-select_streams", "v", "-show_entries", "packet=pts_time,flags")["packets"]
    keys = [float(p["pts_time"]) for p in packets if "K" in p["flags"]]
    first = keys[0] if "audio" in kind else 0.0
    assert 0.0 <= first <= 0.5
    assert keys == pytest.approx([first + k for k in range((frames + 9) // 10)], abs=0.002)


def test_snapshot_of_a_short_frame_fails_and_writes_nothing(tmp_path):
    source, target = tmp_path / "vts1A2B.tmp.yuv", tmp_path / "vts1A2B.tmp.yuv.jpg"
    source.write_bytes(frame(3)[:1000])
    done = subprocess.run(argv_of(f'"{D}ffmpeg" -y -s 640x480 -pix_fmt yuyv422 -i "{source}" -s qcif "{target}"'),
                          capture_output=True, timeout=10)
    assert done.returncode != 0 and b"1000 bytes" in done.stderr and os.listdir(tmp_path) == [source.name]


def test_video_goes_on_without_audio_and_exits_when_the_program_closes_midframe(start):
    program = start("flv+audio")
    main, audio = program.accept(2)
    program.read_output(main)
    for i in range(15):
        main.sendall(frame(i))
        if i < 5:
            audio.sendall(AUDIO_BLOCK)
        elif i == 5:
            audio.close()
    program.wait_output_settled()
    assert program.proc.poll() is None
    assert len([t for t in flv_tags(bytes(program.output)) if t[0] == 9]) == 1 + 15
    main.sendall(frame(15)[:1000])  # a frame cut short
    program.close_and_wait()


def test_ends_when_the_program_closes_and_gives_up_when_it_never_accepts_or_feeds(start):
    closed = start("3gp+audio")
    closed.accept(2)
    closed.close_and_wait()
    env = dict(os.environ, VT_CONVERTER_IDLE_MS="1500")
    program = start("flv", env=env, listen=False)
    assert program.proc.wait(5) == 1 and b"connect" in program.proc.stderr.read()
    blocked = start("flv", env=env)
    began = time.monotonic()
    assert blocked.proc.wait(8) == 1 and 1.4 < time.monotonic() - began < 6
    assert b"no input" in blocked.proc.stderr.read()
