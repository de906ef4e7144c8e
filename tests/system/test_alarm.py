"""The alarm road end to end: motion on the test scene -> clip on a real FTP server
(pyftpdlib on loopback), through a server outage and a restart of the program."""
import json
import os
import re
import socket
import subprocess
import time

from conftest import DEMO_USER, free_port, wait_until

FPS = 10
CLIP_NAME = re.compile(r"^record_\d{4}(_\d\d){5}\.flv$")
ATTEMPT = r"FtpPutFile put file complete\. ret=-?\d+, counter=(\d)"


class FtpServer:
    """pyftpdlib in a process of its own, so that it can be stopped and started again."""

    def __init__(self, root, port, user, password):
        self.root, self.port, self.user, self.password, self.proc = root, port, user, password, None
        os.makedirs(os.path.join(root, "clips"))

    def start(self):
        self.proc = subprocess.Popen(["/usr/bin/python3", "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", str(self.port),
                                      "-w", "-d", self.root, "-u", self.user, "-P", self.password],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert wait_until(self.greets, 10), "FTP server did not start"

    def greets(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                return s.recv(64).startswith(b"220")
        except OSError:
            return False

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def clips(self):
        return sorted(os.listdir(os.path.join(self.root, "clips")))


def ftp_port():
    """A free port below 50000: the port field reads 50000 and above as active mode."""
    return next(port for port in iter(free_port, None) if port < 50000)


def armed_camera_info(camera, port):
    """Channel 0 armed, its clips to port with the FTP login the account service hands out."""
    device = camera.service.users()[DEMO_USER]["devices"][0]
    with open(camera.path("CameraInfo.xml"), "w") as f:
        f.write(f'<CameraInfos><CameraInfo channelID="0" alarmStatus="1" audioEnable="0"><FTPConfig id="0" '
                f'serverAddr="127.0.0.1" userName="{device["camId"]}" password="{device["ftpPassword"]}" '
                f'remotePath="clips" port="{port}"/></CameraInfo></CameraInfos>')
    return device["camId"], device["ftpPassword"]


def alarms(camera):
    return re.findall(r"MD Triggered, PrepareUploadFile, channel=0, tick=(\d+)", camera.log)


def wait_for_alarm(camera, count):
    assert wait_until(lambda: len(alarms(camera)) >= count, 40), camera.log[-3000:]
    return time.time()


def spooled(camera):
    folder = camera.path("undelivered/0")
    return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


def check_clip(path):
    """H.264 640x480 of 7-9 s from a key frame, from 2 s before to 5 s after the event."""
    info = json.loads(subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                                      "stream=codec_name,width,height:packet=pts_time,flags", "-of", "json", path],
                                     capture_output=True, timeout=60, check=True).stdout)
    assert [info["streams"][0][k] for k in ("codec_name", "width", "height")] == ["h264", 640, 480]
    packets = info["packets"]
    assert packets[0]["flags"].startswith("K")
    length = float(packets[-1]["pts_time"]) - float(packets[0]["pts_time"]) + 1.0 / FPS
    assert 7.0 <= length <= 9.0, length
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "rawvideo", "-pix_fmt", "gray", "-"],
                         capture_output=True, timeout=60, check=True).stdout
    size = 640 * 480
    pictures = [raw[at:at + size] for at in range(0, len(raw) - size + 1, size)]
    # The scene writes each picture's index as 32 bits along row 476 and shows a block during motion.
    index = [sum(1 << bit for bit in range(32) if p[476 * 640 + 72 + bit * 16] > 128) for p in pictures]
    block = [p[240 * 640 + 320] > 200 for p in pictures]
    assert index == sorted(set(index)), "pictures out of order"
    event = next(index[i] for i in range(1, len(block)) if block[i] and not block[i - 1])
    assert event - index[0] >= 2 * FPS and index[-1] - event >= 5 * FPS - 1, (index[0], event, index[-1])


def test_alarm_clips_reach_the_ftp_server_through_an_outage_and_a_restart(camera, tmp_path):
    port = ftp_port()
    ftp = FtpServer(str(tmp_path / "ftp"), port, *armed_camera_info(camera, port))
    camera.env.update(VTCAM_CAPTURE="test:motion=16,hold=3", VTCAM_SPOOL_RETRY_MS="3000")
    ftp.start()
    try:
        camera.start_and_wait()
        seen = wait_for_alarm(camera, 1)
        assert wait_until(ftp.clips, 10) and time.time() - seen <= 10, camera.log[-3000:]
        (first,) = ftp.clips()
        assert CLIP_NAME.match(first)
        assert camera.wait_for_log("UploadAlarmAVData ret=1, channel=0", 5)
        check_clip(os.path.join(ftp.root, "clips", first))

        # Outage: three attempts, then the spool, which the retry timer empties once the server is back.
        ftp.stop()
        mark = len(camera.log)
        wait_for_alarm(camera, 2)
        assert wait_until(lambda: spooled(camera), 40), camera.log[mark:]
        assert re.findall(ATTEMPT, camera.log[mark:]) == ["1", "2", "3"], camera.log[mark:]
        assert wait_until(lambda: "UploadAlarmAVData ret=0, channel=0" in camera.log[mark:], 5)
        (name,) = spooled(camera)
        assert CLIP_NAME.match(name)
        ftp.start()
        assert wait_until(lambda: name in ftp.clips() and not spooled(camera), 90), camera.log[-3000:]

        # The program ends while a clip is being tried: it waits in the spool for the next run.
        ftp.stop()
        mark = len(camera.log)
        wait_for_alarm(camera, len(alarms(camera)) + 1)
        assert wait_until(lambda: "1" in re.findall(ATTEMPT, camera.log[mark:]), 15), camera.log[mark:]
        assert not spooled(camera)
        camera.stop()
        waiting = spooled(camera)
        assert waiting
        ftp.start()
        camera.start_and_wait("Convertor Listener startup!")
        assert wait_until(lambda: set(waiting) <= set(ftp.clips()) and not spooled(camera), 30), camera.log[-3000:]
        camera.stop()
        checkpoints = re.findall(r"Video capture checkpoint\. last capture=(\d+); now capture=(\d+)", camera.log)
        assert checkpoints and all(int(now) > int(last) for last, now in checkpoints)
    finally:
        ftp.stop()


def test_alarms_go_on_when_the_converter_is_missing(camera):
    """No converter: every frame is refused, which is logged once, and motion still alarms."""
    os.remove(camera.path("ffmpeg"))
    camera.env["VTCAM_CAPTURE"] = "test:motion=8,hold=4"
    armed_camera_info(camera, ftp_port())
    camera.start()
    refused = "[channel:0]CCameraWnd::OnVideoStream the FLV convertor has refused every frame for"
    assert wait_until(lambda: refused in camera.log and alarms(camera), 60), camera.log[-3000:]
    assert camera.log.count(refused) == 1
    camera.stop()
