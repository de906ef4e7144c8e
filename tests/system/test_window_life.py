"""The main window on a real X server (Xvfb) with and without a notification area, and
starts racing for the single-instance lock."""
import os
import re
import signal
import subprocess
import time

import pytest
from Xlib import X, display, protocol

TITLE = "^Vantor电脑"


def wait_until(predicate, timeout=10, step=0.05):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return False


class XServer:
    """Xvfb on a free display number, with an optional tray host (wmdocker)."""

    def __init__(self):
        self.number = next(n for n in range(90, 400)
                           if not os.path.exists(f"/tmp/.X11-unix/X{n}") and not os.path.exists(f"/tmp/.X{n}-lock"))
        self.name = f":{self.number}"
        self.server = subprocess.Popen(["Xvfb", self.name, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert wait_until(lambda: os.path.exists(f"/tmp/.X11-unix/X{self.number}")), "Xvfb did not start"
        self.conn = display.Display(self.name)
        self.tray = None

    def env(self):
        env = dict(os.environ, DISPLAY=self.name)
        env.pop("WAYLAND_DISPLAY", None)
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)  # the X tray protocol, not a D-Bus watcher
        return env

    def tray_owner(self):
        return self.conn.get_selection_owner(self.conn.intern_atom("_NET_SYSTEM_TRAY_S0"))

    def start_tray(self):
        self.tray = subprocess.Popen(["wmdocker"], env=self.env(),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert wait_until(lambda: self.tray_owner() != X.NONE), "no tray host"

    def stop_tray(self):
        self.tray.terminate()
        self.tray.wait(timeout=5)
        assert wait_until(lambda: self.tray_owner() == X.NONE)

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env(), capture_output=True, text=True,
                              timeout=20).stdout.split()

    def main_window(self):
        found = self.xdotool("search", "--sync", "--onlyvisible", "--name", TITLE)
        assert len(found) == 1, found
        return int(found[0])

    def viewable(self, wid):
        return self.conn.create_resource_object("window", wid).get_attributes().map_state == X.IsViewable

    def close(self, wid):
        """What a window manager sends for the close box."""
        window = self.conn.create_resource_object("window", wid)
        protocols = self.conn.intern_atom("WM_PROTOCOLS")
        event = protocol.event.ClientMessage(window=window, client_type=protocols,
                                             data=(32, [self.conn.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime,
                                                        0, 0, 0]))
        window.send_event(event)
        self.conn.flush()

    def tray_icon(self):
        """The program's icon docked in the tray host, or None."""
        for top in self.conn.screen().root.query_tree().children:
            for child in top.query_tree().children:
                if child.get_wm_class() == ("VantorHomeCamera", "VantorHomeCamera"):
                    # The host leaves its window for a window manager to map; there is none.
                    top.map()
                    self.conn.sync()
                    return child.id
        return None

    def click(self, wid):
        self.xdotool("mousemove", "--window", str(wid), "4", "4", "click", "1")

    def press_escape(self, wid):
        self.xdotool("windowfocus", "--sync", str(wid))
        self.xdotool("key", "Escape")

    def shutdown(self):
        if self.tray and self.tray.poll() is None:
            self.tray.kill()
            self.tray.wait()
        self.conn.close()
        self.server.terminate()
        self.server.wait(timeout=10)


@pytest.fixture(scope="module")
def xserver():
    server = XServer()
    yield server
    server.shutdown()


def start_on(camera, xserver):
    camera.env.update(xserver.env())
    camera.env["QT_QPA_PLATFORM"] = "xcb"
    camera.env["VTCAM_CAPTURE"] = "test:motion=0"
    p = camera.start()
    assert camera.wait_for_log("Vantor Home Camera startup!")
    return p


def still_running(camera, p, seconds=1.5):
    time.sleep(seconds)
    return p.poll() is None and "shutdown!" not in camera.log and "CCameraWndMgr::Stop" not in camera.log


def stop_cleanly(camera, p):
    assert camera.run("-stop").returncode == 0
    assert p.wait(timeout=10) == 0
    log = camera.log
    order = ["Camera Http Server shutdown!", "CCameraWndMgr::Stop stop camera window [0]",
             "Vantor Home Camera shutdown!"]
    positions = [log.find(line) for line in order]
    assert -1 not in positions and positions == sorted(positions), positions
    assert not os.path.exists(camera.path("VantorHomeCamera._lock"))


def test_close_and_escape_hide_to_the_tray_and_stop_still_ends_the_run(camera, xserver):
    xserver.start_tray()
    p = start_on(camera, xserver)
    wid = xserver.main_window()
    assert wait_until(lambda: xserver.tray_icon() is not None), "the icon is docked in the tray"

    xserver.close(wid)
    assert wait_until(lambda: not xserver.viewable(wid)), "the close box hides the window"
    assert still_running(camera, p)
    xserver.click(xserver.tray_icon())
    assert wait_until(lambda: xserver.viewable(wid)), "the tray icon shows the window"

    xserver.press_escape(wid)
    assert wait_until(lambda: not xserver.viewable(wid)), "Esc hides the window"
    assert still_running(camera, p)
    xserver.click(xserver.tray_icon())
    assert wait_until(lambda: xserver.viewable(wid))

    # Without a notification area a hidden window could not be found again: it stays.
    xserver.stop_tray()
    xserver.close(wid)
    assert still_running(camera, p)
    assert xserver.viewable(wid)
    stop_cleanly(camera, p)


def running_pid(camera):
    """The process id in the lock record's stop event name."""
    with open(camera.path("VantorHomeCamera._lock"), "rb") as f:
        name = f.read()[8:].decode()
    return int(re.match(r"CSingletonWindowMgr_STOPEVENT:([0-9a-f]+)_", name).group(1), 16)


@pytest.mark.parametrize("round_", range(3))
def test_two_racing_starts_give_one_instance(camera, round_):
    racers = [camera.start(), camera.start()]
    assert camera.wait_for_log("Vantor Home Camera startup!")
    time.sleep(1.5)  # time enough for a second instance to log its start too
    assert camera.log.count("Vantor Home Camera startup!") == 1
    assert all(r.poll() is None for r in racers)  # one runs, the other keeps checking
    assert running_pid(camera) in (r.pid for r in racers)
