"""The main window on a real X server (Xvfb) with a tray host."""
import os
import subprocess
import time

import pytest
from Xlib import X, display, protocol

from conftest import wait_until


class XServer:
    def __init__(self):
        n = next(n for n in range(90, 400) if not os.path.exists(f"/tmp/.X{n}-lock"))
        self.env = {**os.environ, "DISPLAY": f":{n}", "QT_QPA_PLATFORM": "xcb"}
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)  # the X tray protocol, not a D-Bus watcher
        self.server = subprocess.Popen(["Xvfb", f":{n}", "-nolisten", "tcp"], stderr=subprocess.DEVNULL)
        assert wait_until(lambda: os.path.exists(f"/tmp/.X11-unix/X{n}"), 10)
        self.conn = display.Display(f":{n}")
        self.tray_atom = self.conn.intern_atom("_NET_SYSTEM_TRAY_S0")

    def tray_up(self):
        return self.conn.get_selection_owner(self.tray_atom) != X.NONE

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *map(str, args)], env=self.env, capture_output=True, text=True,
                              timeout=20).stdout.split()

    def viewable(self, wid):
        return self.conn.create_resource_object("window", wid).get_attributes().map_state == X.IsViewable

    def close(self, wid):
        """What a window manager sends for the close box."""
        window, atom = self.conn.create_resource_object("window", wid), self.conn.intern_atom
        window.send_event(protocol.event.ClientMessage(
            window=window, client_type=atom("WM_PROTOCOLS"), data=(32, [atom("WM_DELETE_WINDOW"), 0, 0, 0, 0])))
        self.conn.flush()

    def click_tray_icon(self):
        for host in self.conn.screen().root.query_tree().children:
            for icon in host.query_tree().children:
                if icon.get_wm_class() == ("VantorHomeCamera", "VantorHomeCamera"):
                    host.map()  # the host leaves that to a window manager, and there is none
                    self.conn.sync()
                    self.xdotool("mousemove", "--window", icon.id, 4, 4, "click", 1)
                    return True
        return False


@pytest.fixture
def xserver():
    server = XServer()
    yield server
    server.conn.close()
    server.server.terminate()
    server.server.wait()


def test_close_and_escape_hide_to_the_tray_and_stop_still_ends_the_run(camera, xserver):
    tray = subprocess.Popen(["wmdocker"], env=xserver.env, stderr=subprocess.DEVNULL)
    assert wait_until(xserver.tray_up, 10)
    camera.env.update(xserver.env)
    p = camera.start()
    assert camera.wait_for_log("Vantor Home Camera startup!")
    (wid,) = map(int, xserver.xdotool("search", "--sync", "--onlyvisible", "--name", "^Vantor电脑"))

    def keeps_running():
        time.sleep(1.5)
        return p.poll() is None and "CCameraWndMgr::Stop" not in camera.log

    for hide in (lambda: xserver.close(wid), lambda: xserver.xdotool("windowfocus", "--sync", wid, "key", "Escape")):
        hide()
        assert wait_until(lambda: not xserver.viewable(wid), 10)
        assert keeps_running()
        assert wait_until(xserver.click_tray_icon, 10)
        assert wait_until(lambda: xserver.viewable(wid), 10), "the tray icon brings the window back"

    tray.terminate()
    tray.wait()
    assert wait_until(lambda: not xserver.tray_up(), 10)
    xserver.close(wid)  # without a tray the close box does not hide the window
    assert keeps_running() and xserver.viewable(wid)

    camera.stop()
    log = camera.log
    ends = [log.find(line) for line in ("Camera Http Server shutdown!", "CCameraWndMgr::Stop stop camera window [0]",
                                        "Vantor Home Camera shutdown!")]
    assert -1 not in ends and ends == sorted(ends), ends
    assert not os.path.exists(camera.path("VantorHomeCamera._lock"))
