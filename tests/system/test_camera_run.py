"""The camera running on the synthetic test scene: checkpoints, alarms, CameraInfo.xml."""
import os
import re
import time


def run_for(camera, seconds):
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
    assert "Vantor Home Camera shutdown!" in camera.log


def test_first_run_writes_ten_channels_and_edits_survive_a_restart(camera):
    camera.env["VTCAM_CAPTURE"] = "test:motion=0"
    run_for(camera, 1)
    path = camera.path("CameraInfo.xml")
    with open(path, "rb") as f:
        text = f.read().decode()
    assert text.count("<CameraInfo channelID=") == 10
    assert 'channelID="0" alarmStatus="0"' in text

    with open(path, "wb") as f:
        f.write(text.replace('channelID="3" alarmStatus="0"', 'channelID="3" alarmStatus="1"').encode())
    run_for(camera, 1)
    with open(path, "rb") as f:
        assert 'channelID="3" alarmStatus="1"' in f.read().decode()


def test_corrupt_camera_info_leaves_defaults_and_the_program_runs(camera):
    camera.env["VTCAM_CAPTURE"] = "test:motion=0"
    with open(camera.path("CameraInfo.xml"), "wb") as f:
        f.write(b"<CameraInfos listenPort='9'><CameraInfo channelID='0' alarmStatus='1'>")
    run_for(camera, 1)
    with open(camera.path("CameraInfo.xml"), "rb") as f:
        text = f.read().decode()
    assert text.count("<CameraInfo channelID=") == 10
    assert 'channelID="0" alarmStatus="0"' in text


def test_armed_camera_logs_checkpoints_and_motion_alarms(camera):
    # Arm channel 0 through its stored settings, then let the scene's block come and go.
    camera.env["VTCAM_CAPTURE"] = "test:motion=8,hold=4"
    run_for(camera, 0.5)
    path = camera.path("CameraInfo.xml")
    with open(path, "rb") as f:
        text = f.read().decode()
    with open(path, "wb") as f:
        f.write(text.replace('channelID="0" alarmStatus="0"', 'channelID="0" alarmStatus="1"').encode())

    run_for(camera, 21.5)
    log = camera.log
    assert "CCameraWndMgr::InitWnd found [Test scene 0" in log
    checkpoints = re.findall(r"Video capture checkpoint\. last capture=(\d+); now capture=(\d+)", log)
    assert len(checkpoints) >= 2
    assert all(int(now) > int(last) for last, now in checkpoints)
    alarms = re.findall(r"MD Triggered, PrepareUploadFile, channel=0, tick=(\d+)", log)
    assert alarms, log
    ticks = [int(t) for t in alarms]
    assert all(b - a > 15000 for a, b in zip(ticks, ticks[1:]))  # spaced by the detector
    assert len(re.findall(r"PrepareUploadFile failed! channel=0", log)) == len(alarms)
    assert "Total capture" in log and "CCameraWndMgr::Stop stop camera window [0]" in log
