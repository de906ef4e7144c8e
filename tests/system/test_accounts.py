"""The login dialog's outcomes against the stand-in account service, off screen."""
import pytest

from conftest import DEMO_PASSWORD, DEMO_USER, Camera, WebService, free_port, login_digest


@pytest.mark.parametrize("user, password, message", [
    (DEMO_USER, "not-it", "MessageBox (no screen to show it): 用户不存在或者密码不匹配。"),
    ("bareuser", "bare123", "Add Device OK!"),  # an account without a camera takes this one
    (DEMO_USER, DEMO_PASSWORD, "MessageBox (no screen to show it): 无法连接到服务器。"),  # the service is down
], ids=["wrong-password", "no-device-yet", "service-down"])
def test_login_outcomes(tmp_path, user, password, message):
    service = WebService(bare_users=[(user, password)]) if user == "bareuser" else None
    camera = Camera(str(tmp_path), login=False, service=service)
    camera.remember_login(user, login_digest(user, password))
    if "服务器" in message:
        camera.env["VTCAM_WEBSERVICE_PORT"] = str(free_port())
    try:
        p = camera.start()
        assert camera.wait_for_log(message, timeout=45)
        assert not camera.wait_for_log("Login OK!", timeout=1)
        assert service is None or service.users()[user]["devices"]
        assert p.poll() is None  # the dialog (or the main window) stays until the stop
        camera.stop()
    finally:
        camera.cleanup()
