"""Start, second start, -stop and stale lock files of the running program."""
import os
import signal
import time

from conftest import Camera


def test_second_instance_waits_six_checks_and_stop_ends_the_first(camera):
    first = camera.start()
    assert camera.wait_for_log("Vantor Home Camera startup!")
    assert os.path.exists(camera.path("VantorHomeCamera._lock"))
    # The seed files come once the listeners run.
    assert camera.wait_for_log("Convertor Listener startup!")
    deadline = time.time() + 5
    while not os.path.exists(camera.path("seed.s16le")) and time.time() < deadline:
        time.sleep(0.05)
    assert os.path.exists(camera.path("seed.yuv")) and os.path.exists(camera.path("seed.s16le"))

    started = time.time()
    second = camera.start()
    time.sleep(4)
    assert second.poll() is None, "the second instance keeps checking"
    second.wait(timeout=25)
    waited = time.time() - started
    assert 14 <= waited <= 24, waited  # six checks, 3 s apart, on a possibly busy machine
    assert first.poll() is None, "the first instance keeps running"
    assert camera.log.count("Vantor Home Camera startup!") == 1

    stop_at = time.time()
    assert camera.run("-stop").returncode == 0
    first.wait(timeout=5)
    assert time.time() - stop_at < 4, "ends on the signal, not on a later time-out"
    assert first.returncode == 0
    log = camera.log
    assert log.index("Vantor Home Camera startup!") < log.index("Vantor Home Camera shutdown!")
    for name in ("VantorHomeCamera._lock", "seed.yuv", "seed.s16le"):
        assert not os.path.exists(camera.path(name)), name


def test_stale_lock_of_a_killed_instance_does_not_block(camera):
    first = camera.start()
    assert camera.wait_for_log("startup!")
    first.send_signal(signal.SIGKILL)
    first.wait()
    assert os.path.exists(camera.path("VantorHomeCamera._lock"))

    t0 = time.time()
    camera.start()
    assert camera.wait_for_log("Vantor Home Camera startup!\r\n", timeout=5)
    deadline = time.time() + 5
    while camera.log.count("Vantor Home Camera startup!") < 2 and time.time() < deadline:
        time.sleep(0.05)
    assert camera.log.count("Vantor Home Camera startup!") == 2
    assert time.time() - t0 < 8, "no waiting on a stale lock (that would be six checks, 15 s)"
    assert camera.run("-stop").returncode == 0
    assert camera.wait_for_log("shutdown!")


def test_stop_without_instance_starts_nothing(camera):
    assert camera.run("-stop", timeout=5).returncode == 0
    assert not os.path.exists(camera.path("VantorHomeCamera._lock"))
    assert camera.log == ""


def test_sigterm_shuts_down_cleanly_after_creating_the_registry_values(camera):
    p = camera.start()
    assert camera.wait_for_log("startup!")
    p.send_signal(signal.SIGTERM)
    assert p.wait(timeout=5) == 0
    assert "Vantor Home Camera shutdown!" in camera.log
    assert not os.path.exists(camera.path("VantorHomeCamera._lock"))


def test_first_start_creates_the_registry_values(tmp_path):
    camera = Camera(str(tmp_path), login=False)
    p = camera.start()
    assert camera.wait_for_log("startup!")
    camera.run("-stop")
    p.wait(timeout=5)
    registry = os.path.join(camera.env["XDG_CONFIG_HOME"], "Norvane", "VantorHomeCamera", "registry")
    with open(registry) as f:
        lines = sorted(f.read().splitlines())
    assert lines == ["s AVConvertProgram=", "s AutoLogin=", "s LoginUserName=",
                     "s MaxChannelCount=", "s ShowConvertorWindow=", "s UPMDString="]
