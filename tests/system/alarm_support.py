"""A real FTP server (pyftpdlib) on loopback and the camera settings that point at it."""
import os
import socket
import subprocess
import time


def free_port(low=2121, high=15000):
    """A free loopback port below 15536, so that 50000 + port still fits the port field."""
    for port in [low, *range(low + 1, high)]:
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue
    raise RuntimeError("no free port")


class FtpServer:
    """pyftpdlib in a process of its own, so that it can be stopped and started again."""

    def __init__(self, root, port, user, password):
        self.root, self.port, self.user, self.password = root, port, user, password
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", str(self.port), "-w",
             "-d", self.root, "-u", self.user, "-P", self.password],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                    if s.recv(64).startswith(b"220"):
                        return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("FTP server did not start")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc = None


def alarm_camera_info(path, server, user, password, remote_dir, port):
    """CameraInfo.xml with channel 0 disarmed and its FTP target set; other channels default."""
    text = ("<?xml version='1.0' ?>\r\n<CameraInfos>\r\n"
            '<CameraInfo channelID="0" alarmStatus="0" audioEnable="0">'
            f'<FTPConfig id="0" serverAddr="{server}" userName="{user}" password="{password}" '
            f'remotePath="{remote_dir}" port="{port}"/></CameraInfo>\r\n</CameraInfos>\r\n')
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o600)
