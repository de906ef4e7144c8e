"""The built converter run the way the stream convertors run it: a listening loopback socket
stands in for the program, takes the greetings, feeds raw frames and audio, and the output is
checked with ffprobe (and decoded with Debian's ffmpeg for pixel checks)."""
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
DEBIAN_FFMPEG = "/usr/bin/ffmpeg"
AUDIO_KEY_BIT = 0x1000000
W, H = 640, 480
DIR = "/opt/vt cam/"  # seed paths are placeholders: they need not exist

FLV_LINE = '"%sffmpeg" -y -r %d -s %s -pix_fmt yuyv422 -i "%sseed.yuv" "%stemp.flv" -lss lss://127.0.0.1:%d'
FLV_AUDIO_LINE = ('"%sffmpeg" -y -r %d -s %s -pix_fmt yuyv422 -i "%sseed.yuv" -ar 11025 -f u8 -ac 1 '
                  '-i "%sseed.s16le" -acodec libfaac -ar 44100 "%stemp.flv" -lss lss://127.0.0.1:%d')
AAC_LINE = ('"%sffmpeg" -y -ar 11025 -f u8 -ac 1 -i "%shh.s16le" -acodec libfaac -ar 44100 -ac 2 temp.aac '
            '-lss lss://127.0.0.1:%d')
GP3_LINE = ('"%sffmpeg" -y -r %d -s %s -pix_fmt yuyv422 -i "%sseed.yuv" -s cif "%stemp.3gp" '
            '-lss sls://127.0.0.1:%d')
GP3_AUDIO_LINE = ('"%sffmpeg" -y -r %d -s %s -pix_fmt yuyv422 -i "%sseed.yuv" -ar 11025 -f u8 -ac 1 '
                  '-i "%sseed.s16le" -acodec libfaac -ar 44100 -s cif "%stemp.3gp" -lss sls://127.0.0.1:%d')
SNAPSHOT_LINE = '"%sffmpeg" -y -s %s -pix_fmt yuyv422 -i "%s" %s "%s"'


def argv_of(line):
    args = shlex.split(line)
    return [CONVERTER] + args[1:]


def frame(index, w=W, h=H):
    """Dark left half, bright right half, and a mid-grey bar that moves 16 pixels a frame."""
    row = bytearray(b"\x28\x80" * (w // 2) + b"\xd2\x80" * (w // 2))
    start = (index * 16) % w
    row[start * 2:(start + 16) * 2:2] = b"\x80" * 16
    return bytes(row) * h


def audio_block(samples=1103):
    return bytes(128 + int(50 * (((i % 25) - 12) / 12)) for i in range(samples))


class Program:
    """The program's side: a loopback listener and the converter it started."""

    def __init__(self, line_format, *values, env=None, listen=True):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        if listen:
            self.listener.listen(4)
        port = self.listener.getsockname()[1]
        self.proc = subprocess.Popen(argv_of(line_format % (values + (port,))), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, env=env)
        self.links = {}
        self.output = bytearray()
        self.chunks = []
        self.reader = None

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

    def nothing_more_within(self, conn, seconds):
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
            while True:
                try:
                    data = conn.recv(65536)
                except OSError:
                    return
                if not data:
                    return
                self.chunks.append((time.monotonic(), len(data)))
                self.output.extend(data)
        self.reader = threading.Thread(target=run, daemon=True)
        self.reader.start()

    def wait_output_settled(self, quiet=0.5, limit=10):
        deadline = time.monotonic() + limit
        last = len(self.output)
        while time.monotonic() < deadline:
            time.sleep(quiet)
            if len(self.output) == last:
                return
            last = len(self.output)

    def close_and_wait(self, timeout=5):
        for conn in self.links.values():
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            conn.close()
        self.listener.close()
        start = time.monotonic()
        code = self.proc.wait(timeout)
        return code, time.monotonic() - start

    def stderr(self):
        return self.proc.stderr.read().decode("utf-8", "replace")

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


def streams(path):
    return {s["codec_type"]: s for s in ffprobe(path, "-show_streams")["streams"]}


def key_times(path):
    packets = ffprobe(path, "-select_streams", "v", "-show_entries", "packet=pts_time,flags")["packets"]
    return [float(p["pts_time"]) for p in packets if "K" in p["flags"]], len(packets)


def gray_frame(path, w, h):
    """The first decoded picture as 8-bit grey."""
    raw = subprocess.run([DEBIAN_FFMPEG, "-v", "error", "-i", path, "-frames:v", "1", "-f", "rawvideo",
                          "-pix_fmt", "gray", "-"], check=True, capture_output=True, timeout=30).stdout
    assert len(raw) == w * h
    return raw


def halves_match_input(gray, w, h):
    """Left quarter dark (input Y 40), right quarter bright (input Y 210), away from the bar."""
    row = h // 2 * w
    left = gray[row + w // 8:row + w // 4]
    right = gray[row + 3 * w // 4:row + 7 * w // 8]
    return sum(left) / len(left) < 70 and sum(right) / len(right) > 180


def flv_tags(data):
    """Walks the whole FLV byte stream; every tag must be whole and its size trailer right."""
    assert data[:3] == b"FLV" and struct.unpack(">I", data[5:9])[0] == 9
    offset, tags = 13, []
    while offset < len(data):
        tag_type = data[offset]
        size = int.from_bytes(data[offset + 1:offset + 4], "big")
        assert offset + size + 15 <= len(data), "FLV stream ends inside a tag"
        assert struct.unpack(">I", data[offset + 11 + size:offset + 15 + size])[0] == size + 11
        tags.append((tag_type, data[offset + 11:offset + 13]))
        offset += size + 15
    return tags


def run_stream(tmp, line, values, frames, with_audio, video=True):
    """Starts the converter, checks the greetings, feeds input, returns (program, output file)."""
    program = Program(line, *values)
    try:
        links = program.accept(2 if with_audio else 1)
        pid = program.proc.pid
        expected = {pid, pid | AUDIO_KEY_BIT} if with_audio else {pid}
        assert set(links) == expected
        main = links[pid]
        # Nothing may follow the greeting before the program sends input: it reads the
        # greeting on its own and would lose bytes that arrive with it.
        assert program.nothing_more_within(main, 0.3)
        program.start_reading(main)
        audio = links.get(pid | AUDIO_KEY_BIT)
        block = audio_block()
        for i in range(frames):
            if video:
                main.sendall(frame(i))
            if audio is not None:
                audio.sendall(block)
        program.wait_output_settled()
        if audio is not None:
            assert program.nothing_more_within(audio, 0.1), "output arrived on the audio connection"
        code, took = program.close_and_wait()
        assert code == 0, program.stderr()
        assert took < 3
        return program
    except BaseException:
        program.kill()
        raise


@pytest.mark.parametrize("with_audio", [False, True])
def test_lss_is_a_live_flv_stream(tmp, with_audio):
    if with_audio:
        program = run_stream(tmp, FLV_AUDIO_LINE, (DIR, 10, "640x480", DIR, DIR, DIR), 35, True)
    else:
        program = run_stream(tmp, FLV_LINE, (DIR, 10, "640x480", DIR, DIR), 35, False)
    data = bytes(program.output)
    tags = flv_tags(data)
    assert tags[0][0] == 18
    video_tags = [t for t in tags if t[0] == 9]
    assert video_tags[0][1] == b"\x17\x00"  # decoder configuration first
    assert len(video_tags) == 1 + 35
    path = os.path.join(tmp, "out.flv")
    with open(path, "wb") as f:
        f.write(data)
    info = streams(path)
    assert info["video"]["codec_name"] == "h264"
    assert (info["video"]["width"], info["video"]["height"]) == (W, H)
    keys, packets = key_times(path)
    assert packets == 35
    # Video starts at 0 unless sound came first: then its first frame is placed by its
    # arrival after the first sound, which a busy machine can delay by a frame or two.
    start = keys[0] if with_audio else 0.0
    assert 0.0 <= start <= 0.5
    assert keys == pytest.approx([start, start + 1.0, start + 2.0, start + 3.0], abs=0.002)
    assert halves_match_input(gray_frame(path, W, H), W, H)
    if with_audio:
        assert info["audio"]["codec_name"] == "aac"
        assert int(info["audio"]["sample_rate"]) == 44100 and info["audio"]["channels"] == 1
        audio_tags = [t for t in tags if t[0] == 8]
        # The audio configuration sits before the video one, inside the stream header.
        assert tags.index(audio_tags[0]) < tags.index(video_tags[0])
        assert len(audio_tags) > 140  # 3.5 s of 1024-sample frames at 44100 Hz, less the last
    else:
        assert "audio" not in info


def test_aac_only_line_streams_stereo_audio(tmp):
    program = run_stream(tmp, AAC_LINE, (DIR, DIR), 35, True, video=False)
    path = os.path.join(tmp, "out.flv")
    with open(path, "wb") as f:
        f.write(program.output)
    info = streams(path)
    assert "video" not in info
    assert info["audio"]["codec_name"] == "aac" and info["audio"]["channels"] == 2


@pytest.mark.parametrize("with_audio", [False, True])
def test_sls_records_form_a_playable_cif_file(tmp, with_audio):
    if with_audio:
        program = run_stream(tmp, GP3_AUDIO_LINE, (DIR, 10, "640x480", DIR, DIR, DIR), 35, True)
    else:
        program = run_stream(tmp, GP3_LINE, (DIR, 10, "640x480", DIR, DIR), 35, False)
    data, offset, records = bytes(program.output), 0, []
    while offset < len(data):
        assert offset + 4 <= len(data), "stream ends inside a length field"
        length = struct.unpack("<I", data[offset:offset + 4])[0]
        assert offset + 4 + length <= len(data), "stream ends inside a record"
        records.append(data[offset + 4:offset + 4 + length])
        offset += 4 + length
    # Initialisation segment, then one fragment per second of video (the last one waits for
    # the next key frame).
    assert [r[4:8] for r in records] == [b"ftyp", b"moof", b"moof", b"moof"]
    path = os.path.join(tmp, "out.3gp")
    with open(path, "wb") as f:
        f.write(b"".join(records))
    by_type = {s["codec_type"]: s for s in ffprobe(path, "-count_frames", "-show_streams")["streams"]}
    assert by_type["video"]["codec_name"] == "h264"
    assert (by_type["video"]["width"], by_type["video"]["height"]) == (352, 288)
    assert int(by_type["video"]["nb_read_frames"]) == 30
    assert halves_match_input(gray_frame(path, 352, 288), 352, 288)
    if with_audio:
        assert by_type["audio"]["codec_name"] == "aac"
        assert int(by_type["audio"]["nb_read_frames"]) > 100
    else:
        assert "audio" not in by_type


def write_raw_frame(tmp, data):
    path = os.path.join(tmp, "vts1A2B.tmp.yuv")
    with open(path, "wb") as f:
        f.write(data)
    return path


@pytest.mark.parametrize("size,expected", [("", (640, 480)), ("-s qcif", (176, 144))])
def test_snapshot_makes_a_jpeg(tmp, size, expected):
    source = write_raw_frame(tmp, frame(3))
    target = source + ".jpg"
    done = subprocess.run(argv_of(SNAPSHOT_LINE % (DIR, "640x480", source, size, target)),
                          capture_output=True, timeout=10)
    assert done.returncode == 0, done.stderr
    info = streams(target)["video"]
    assert info["codec_name"] == "mjpeg"
    assert (info["width"], info["height"]) == expected
    assert halves_match_input(gray_frame(target, *expected), *expected)
    assert sorted(os.listdir(tmp)) == sorted([os.path.basename(source), os.path.basename(target)])


def test_snapshot_of_a_short_frame_fails_without_a_picture(tmp):
    source = write_raw_frame(tmp, frame(0)[:1000])
    target = source + ".jpg"
    done = subprocess.run(argv_of(SNAPSHOT_LINE % (DIR, "640x480", source, "", target)),
                          capture_output=True, timeout=10)
    assert done.returncode != 0
    assert b"1000 bytes" in done.stderr
    assert not os.path.exists(target)


def test_exits_when_the_program_closes_midstream():
    program = Program(FLV_LINE, DIR, 10, "640x480", DIR, DIR)
    try:
        main = program.accept(1)[program.proc.pid]
        for i in range(5):
            main.sendall(frame(i))
        main.sendall(frame(5)[:1000])  # a frame cut short
        code, took = program.close_and_wait()
        assert code == 0 and took < 3
    finally:
        program.kill()


def test_video_goes_on_when_the_program_closes_the_audio_connection():
    program = Program(FLV_AUDIO_LINE, DIR, 10, "640x480", DIR, DIR, DIR)
    try:
        links = program.accept(2)
        main, audio = links[program.proc.pid], links[program.proc.pid | AUDIO_KEY_BIT]
        program.start_reading(main)
        for i in range(5):
            main.sendall(frame(i))
            audio.sendall(audio_block())
        audio.close()
        for i in range(5, 15):
            main.sendall(frame(i))
        program.wait_output_settled()
        assert program.proc.poll() is None
        video_tags = [t for t in flv_tags(bytes(program.output)) if t[0] == 9]
        assert len(video_tags) == 1 + 15
        code, took = program.close_and_wait()
        assert code == 0 and took < 3
    finally:
        program.kill()


def test_exits_when_the_program_closes_before_any_input():
    program = Program(GP3_AUDIO_LINE, DIR, 10, "640x480", DIR, DIR, DIR)
    try:
        assert len(program.accept(2)) == 2
        code, took = program.close_and_wait()
        assert code == 0 and took < 3
    finally:
        program.kill()


def test_gives_up_on_a_program_that_never_accepts():
    env = dict(os.environ, VT_CONVERTER_IDLE_MS="1500")
    program = Program(FLV_LINE, DIR, 10, "640x480", DIR, DIR, env=env, listen=False)
    try:
        # The socket is bound but does not listen: nobody will take the connection.
        code = program.proc.wait(5)
        assert code == 1
        assert "connect" in program.stderr()
    finally:
        program.kill()
    blocked = Program(FLV_LINE, DIR, 10, "640x480", DIR, DIR, env=env)
    try:
        # Listening, but never accepting: the connection sits in the backlog, no input comes.
        start = time.monotonic()
        code = blocked.proc.wait(8)
        assert code == 1 and 1.4 < time.monotonic() - start < 6
        assert "no input" in blocked.stderr()
    finally:
        blocked.kill()


def test_bad_command_line_is_reported():
    done = subprocess.run([CONVERTER, "-y", "-s", "640x480", "-i", "x.yuv", "x.flv", "-lss", "rtmp://127.0.0.1:1"],
                          capture_output=True, timeout=10)
    assert done.returncode == 2
    assert b"rtmp://127.0.0.1:1" in done.stderr
