"""The camera running on the synthetic test scene: CameraInfo.xml across restarts, checkpoints
and alarms. The tests share one program folder and run in order."""
import os
import re
import time


def run_for(camera, seconds, capture="test:motion=0"):
    camera.env["VTCAM_CAPTURE"] = capture
    runs = camera.log.count("Vantor Home Camera shutdown!")
    logins = camera.log.count("Login OK!")
    p = camera.start()
    # The main window (and its capture) opens once this run's remembered login went through.
    deadline = time.time() + 45
    while camera.log.count("Login OK!") == logins and time.time() < deadline:
        time.sleep(0.05)
    assert camera.log.count("Login OK!") > logins
    time.sleep(seconds)
    assert camera.run("-stop").returncode == 0
    assert p.wait(timeout=10) == 0
    assert camera.log.count("Vantor Home Camera shutdown!") == runs + 1


def edit_camera_info(camera, old, new):
    with open(camera.path("CameraInfo.xml"), "rb") as f:
        text = f.read().decode()
    assert old in text
    with open(camera.path("CameraInfo.xml"), "wb") as f:
        f.write(text.replace(old, new).encode())


def camera_info(camera):
    with open(camera.path("CameraInfo.xml"), "rb") as f:
        return f.read().decode()


def test_first_run_writes_ten_channels_and_edits_survive_a_restart(shared_camera):
    run_for(shared_camera, 1)
    text = camera_info(shared_camera)
    assert text.count("<CameraInfo channelID=") == 10
    assert 'channelID="0" alarmStatus="0"' in text
    edit_camera_info(shared_camera, 'channelID="3" alarmStatus="0"', 'channelID="3" alarmStatus="1"')
    run_for(shared_camera, 1)
    assert 'channelID="3" alarmStatus="1"' in camera_info(shared_camera)


def test_corrupt_camera_info_leaves_defaults_and_the_program_runs(shared_camera):
    with open(shared_camera.path("CameraInfo.xml"), "wb") as f:
        f.write(b"<CameraInfos listenPort='9'><CameraInfo channelID='0' alarmStatus='1'>")
    run_for(shared_camera, 1)
    text = camera_info(shared_camera)
    assert text.count("<CameraInfo channelID=") == 10
    assert 'channelID="0" alarmStatus="0"' in text and 'channelID="3" alarmStatus="0"' in text


def test_armed_camera_logs_checkpoints_and_motion_alarms(shared_camera):
    edit_camera_info(shared_camera, 'channelID="0" alarmStatus="0"', 'channelID="0" alarmStatus="1"')
    before = len(shared_camera.log)
    run_for(shared_camera, 21.5, "test:motion=8,hold=4")
    log = shared_camera.log[before:]
    assert "CCameraWndMgr::InitWnd found [Test scene 0" in log
    checkpoints = re.findall(r"Video capture checkpoint\. last capture=(\d+); now capture=(\d+)", log)
    assert len(checkpoints) >= 2
    assert all(int(now) > int(last) for last, now in checkpoints)
    ticks = [int(t) for t in re.findall(r"MD Triggered, PrepareUploadFile, channel=0, tick=(\d+)", log)]
    assert ticks, log
    assert all(b - a > 15000 for a, b in zip(ticks, ticks[1:]))  # spaced by the detector
    assert "PrepareUploadFile failed! channel=0" not in log
    assert "UploadAlarmAVData ret=0, channel=0" in log
    assert os.listdir(shared_camera.path("undelivered/0"))
    assert "Total capture" in log and "CCameraWndMgr::Stop stop camera window [0]" in log
