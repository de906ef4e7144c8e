"""The account gate against the stand-in web service, off screen."""
import re
import socket

import pytest

from conftest import DEMO_PASSWORD, DEMO_USER, Camera, WebService, login_digest


def stop(camera, p):
    assert camera.run("-stop").returncode == 0
    assert p.wait(timeout=15) == 0
    assert "Vantor Home Camera shutdown!" in camera.log


def test_auto_login_streams_and_takes_over_the_camera_record(camera):
    camera.env["VTCAM_CAPTURE"] = "test:motion=0"
    p = camera.start()
    assert camera.wait_for_log("Login OK!", timeout=45)
    assert camera.wait_for_log("Got whole FLV header/meta-data", timeout=20)
    stop(camera, p)
    device = camera.service.users()[DEMO_USER]["devices"][-1]
    with open(camera.path("CameraInfo.xml")) as f:
        xml = f.read()
    assert 'cameraID="%s"' % device["camId"] in xml
    assert re.search(r'channelID="0".*?userName="%s" password="%s"' % (device["camId"], device["ftpPassword"]),
                     xml, re.S)
    # The password never appears in the log, only its digest in the request.
    assert DEMO_PASSWORD not in camera.log.replace("userPassword='%s'" % DEMO_PASSWORD, "")


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


@pytest.mark.parametrize("case, message, logged_in", [
    ("wrong password", "MessageBox (no screen to show it): 用户不存在或者密码不匹配。", False),
    ("no device yet", "Add Device OK!", True),
    ("service down", "MessageBox (no screen to show it): 无法连接到服务器。", False),
])
def test_login_outcomes(tmp_path, case, message, logged_in):
    service = WebService(bare_users=[("bareuser", "bare123")]) if case == "no device yet" else None
    camera = Camera(str(tmp_path), login=False, service=service)
    try:
        if case == "wrong password":
            camera.remember_login(DEMO_USER, login_digest(DEMO_USER, "not-it"), auto=True)
        elif case == "no device yet":
            camera.remember_login("bareuser", login_digest("bareuser", "bare123"), auto=True)
        else:
            camera.remember_login(DEMO_USER, login_digest(DEMO_USER, DEMO_PASSWORD), auto=True)
            camera.env["VTCAM_WEBSERVICE_PORT"] = str(closed_port())
        p = camera.start()
        assert camera.wait_for_log(message, timeout=45)
        assert camera.wait_for_log("Login OK!", timeout=1) is False
        if logged_in:
            assert camera.service.users()["bareuser"]["devices"]
        # The dialog stays open (or the main window runs) until the stop ends the program.
        assert p.poll() is None
        stop(camera, p)
    finally:
        camera.cleanup()
        if service:
            service.stop()
