"""The program with its crash plug-in, killed with SIGSEGV from outside: the default dump
script leaves a backtrace of every thread in output/."""
import glob
import os
import signal


def test_segv_from_outside_leaves_a_backtrace_through_the_default_script(camera):
    assert os.path.exists(camera.path("CrashkitPlugin.so")) and os.path.exists(camera.path("Crashkit.sh"))
    proc = camera.start()
    assert camera.wait_for_log("Vantor Home Camera startup!")
    proc.send_signal(signal.SIGSEGV)
    assert proc.wait(timeout=90) == -signal.SIGSEGV

    dumps = glob.glob(camera.path("output/%d-*" % proc.pid))
    assert len(dumps) == 1, os.listdir(camera.path("output")) if os.path.isdir(camera.path("output")) else "no output"
    with open(os.path.join(dumps[0], "arguments.txt")) as f:
        args = f.read().split("\n")
    assert args[0] == str(proc.pid) and args[4].startswith("err_c0000005#eax_"), args
    with open(os.path.join(dumps[0], "backtrace.txt")) as f:
        backtrace = f.read()
    # The signalled thread, stopped inside the handler, and the thread that ran the script.
    assert "<signal handler called>" in backtrace, backtrace[-3000:]
    assert "DumpThreadProc" in backtrace
    assert os.path.getsize(os.path.join(dumps[0], "maps.txt")) > 0
