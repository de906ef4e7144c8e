"""The alarm road end to end: motion on the test scene -> clip on a real FTP server
(pyftpdlib on loopback), in passive and active mode, and through a server outage and a
restart of the program without losing the clip."""
import glob
import json
import os
import re
import subprocess
import time
import urllib.request

from alarm_support import FtpServer, alarm_camera_info, camera_http_port, free_port
from conftest import DEMO_USER

REMOTE_DIR = "clips"
FPS = 10
CLIP_NAME = re.compile(r"^record_\d{4}_\d\d_\d\d_\d\d_\d\d_\d\d\.flv$")


def service_ftp_login(camera):
    """A login hands channel 0 the FTP user and password of the account's camera."""
    device = camera.service.users()[DEMO_USER]["devices"][0]
    return device["camId"], device["ftpPassword"]


def arm(camera):
    port = int(re.findall(r"Camera Http Server startup! listen port=(\d+)", camera.log)[-1])
    url = f"http://127.0.0.1:{port}/schedule_setup.html?method=setAlarmStatus&ALARM_STATUS=1"
    body = urllib.request.urlopen(url, timeout=10).read().decode()
    assert "ALARM_STATUS=1" in body


def start(camera):
    """Starts the program (again: its log goes on) and waits until it listens."""
    started = camera.log.count("Convertor Listener startup!")
    camera.start()
    assert wait_for(lambda: camera.log.count("Convertor Listener startup!") > started, 40), camera.log[-2000:]


def alarms(camera):
    return re.findall(r"MD Triggered, PrepareUploadFile, channel=0, tick=(\d+)", camera.log)


def wait_for(predicate, timeout, step=0.1):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def wait_for_alarm(camera, count, timeout=40):
    assert wait_for(lambda: len(alarms(camera)) >= count, timeout), camera.log[-3000:]
    return time.time()


def stored_clips(root):
    return sorted(os.listdir(os.path.join(root, REMOTE_DIR)))


def spooled(camera):
    return sorted(glob.glob(camera.path("undelivered/0/*")))


def frames(clip):
    """(key flag, pts) of every video packet and the strip index / block flag of each picture."""
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                          "stream=codec_name,width,height:packet=pts_time,flags", "-of", "json", clip],
                         capture_output=True, timeout=60, check=True)
    info = json.loads(out.stdout)
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", clip, "-f", "rawvideo", "-pix_fmt", "gray", "-"],
                         capture_output=True, timeout=60, check=True).stdout
    size = 640 * 480
    pictures = []
    for at in range(0, len(raw) - size + 1, size):
        picture = raw[at:at + size]
        row = 476 * 640
        index = sum(1 << bit for bit in range(32) if picture[row + 64 + bit * 16 + 8] > 128)
        pictures.append((index, picture[240 * 640 + 320] > 200))
    return info["streams"][0], info["packets"], pictures


def check_clip(path):
    """H.264 640x480, 7-9 s, opens on a key frame, covers 2 s before to 5 s after the event."""
    stream, packets, pictures = frames(path)
    assert (stream["codec_name"], stream["width"], stream["height"]) == ("h264", 640, 480)
    assert packets[0]["flags"].startswith("K")
    pts = [float(p["pts_time"]) for p in packets]
    assert 7.0 <= pts[-1] - pts[0] + 1.0 / FPS <= 9.0, (pts[0], pts[-1])
    indexes = [i for i, _ in pictures]
    assert indexes == sorted(set(indexes)), "pictures out of order"
    event = next(i for (i, block), (_, before) in zip(pictures[1:], pictures) if block and not before)
    assert event - indexes[0] >= 2 * FPS
    assert indexes[-1] - event >= 5 * FPS - 1
    print(f"{os.path.basename(path)}: {len(indexes)} pictures, {pts[-1] - pts[0] + 1.0 / FPS:.1f} s, "
          f"{event - indexes[0]} before and {indexes[-1] - event} after the event")


def run_passive_outage_and_spool(camera, server, root):
    """Passive upload, then an outage: three attempts, spool, redelivery; leaves one clip spooled."""
    start(camera)
    arm(camera)

    seen = wait_for_alarm(camera, 1)
    assert wait_for(lambda: stored_clips(root), 10), camera.log[-3000:]
    assert time.time() - seen <= 10
    (first,) = stored_clips(root)
    assert CLIP_NAME.match(first)
    assert wait_for(lambda: "UploadAlarmAVData ret=1, channel=0" in camera.log, 5)
    check_clip(os.path.join(root, REMOTE_DIR, first))

    server.stop()
    log_mark = len(camera.log)
    wait_for_alarm(camera, 2)
    assert wait_for(lambda: spooled(camera), 40), camera.log[log_mark:]
    outage = camera.log[log_mark:]
    attempts = re.findall(r"FtpPutFile put file complete\. ret=-?\d+, counter=(\d)", outage)
    assert attempts == ["1", "2", "3"], outage
    assert wait_for(lambda: "UploadAlarmAVData ret=0, channel=0" in camera.log[log_mark:], 5)
    (clip,) = spooled(camera)
    name = os.path.basename(clip)
    assert CLIP_NAME.match(name)

    server.start()
    assert wait_for(lambda: name in stored_clips(root) and not spooled(camera), 90), camera.log[-3000:]
    check_clip(os.path.join(root, REMOTE_DIR, name))

    server.stop()
    count = len(alarms(camera))
    wait_for_alarm(camera, count + 1)
    first_tries = lambda: len(re.findall(r"FtpPutFile put file complete\. ret=-?\d+, counter=1", camera.log))
    tries = first_tries()
    assert wait_for(lambda: first_tries() > tries, 15), camera.log[-3000:]
    assert not spooled(camera)
    assert camera.run("-stop").returncode == 0
    assert camera.procs[-1].wait(timeout=15) == 0
    assert spooled(camera)
    return spooled(camera)


def test_alarm_clips_reach_the_ftp_server_through_an_outage_and_a_restart(camera, tmp_path):
    root = str(tmp_path / "ftp")
    os.makedirs(os.path.join(root, REMOTE_DIR))
    port = free_port()
    http_port = camera_http_port()
    user, password = service_ftp_login(camera)
    server = FtpServer(root, port, user, password)
    server.start()
    camera.env["VTCAM_CAPTURE"] = "test:motion=16,hold=3"
    camera.env["VTCAM_SPOOL_RETRY_MS"] = "3000"
    try:
        alarm_camera_info(camera.path("CameraInfo.xml"), "127.0.0.1", user, password, REMOTE_DIR, port, http_port)
        waiting = run_passive_outage_and_spool(camera, server, root)
        names = [os.path.basename(p) for p in waiting]

        server.start()
        before = set(stored_clips(root))
        alarm_camera_info(camera.path("CameraInfo.xml"), "127.0.0.1", user, password, REMOTE_DIR, 50000 + port, http_port)
        start(camera)
        assert wait_for(lambda: set(names) <= set(stored_clips(root)) and not spooled(camera), 30), camera.log[-3000:]
        count = len(alarms(camera))  # the log goes on from the last run
        arm(camera)
        seen = wait_for_alarm(camera, count + 1)
        assert wait_for(lambda: set(stored_clips(root)) - before - set(names), 10), camera.log[-3000:]
        assert time.time() - seen <= 10
        (active,) = set(stored_clips(root)) - before - set(names)
        assert "FTP: select data connection 5 seconds." in camera.log
        check_clip(os.path.join(root, REMOTE_DIR, active))
        assert camera.run("-stop").returncode == 0
    finally:
        server.stop()


def test_alarms_go_on_when_the_converter_is_missing(camera):
    """No converter: every frame is refused, which is logged once, and motion still alarms."""
    os.remove(camera.path("ffmpeg"))
    camera.env["VTCAM_CAPTURE"] = "test:motion=8,hold=4"
    alarm_camera_info(camera.path("CameraInfo.xml"), "127.0.0.1", *service_ftp_login(camera), REMOTE_DIR, free_port(),
                      camera_http_port(), armed=1)
    start(camera)
    refused = "[channel:0]CCameraWnd::OnVideoStream the FLV convertor has refused every frame for"
    assert wait_for(lambda: refused in camera.log and alarms(camera), 30), camera.log[-3000:]
    assert camera.log.count(refused) == 1
    assert camera.run("-stop").returncode == 0
