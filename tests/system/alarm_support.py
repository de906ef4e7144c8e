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


def camera_http_port():
    """A free HTTP port the program keeps when stored in CameraInfo.xml: last octet of the
    primary address + k * 1000. Other copies of the program on this machine pick k in 10-19
    and stick to a busy port, so ours lies above that."""
    with open("/proc/net/route") as f:
        routes = [line.split() for line in f.readlines()[1:]]
    device = next((r[0] for r in routes if r[1] == "00000000" and r[2] != "00000000"), None)
    last_octet = 0
    if device:
        out = subprocess.run(["ip", "-4", "-o", "addr", "show", "dev", device], capture_output=True, text=True).stdout
        address = out.split("inet ")[1].split("/")[0] if "inet " in out else "0.0.0.0"
        last_octet = int(address.split(".")[-1])
    for k in range(20 + os.getpid() % 20, 50):
        port = last_octet + k * 1000
        with socket.socket() as s:
            try:
                s.bind(("0.0.0.0", port))
                return port
            except OSError:
                continue
    raise RuntimeError("no free HTTP port")


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


def alarm_camera_info(path, server, user, password, remote_dir, port, http_port, armed=0):
    """CameraInfo.xml with channel 0's arming and FTP target set; other channels default."""
    text = (f"<?xml version='1.0' ?>\r\n<CameraInfos listenPort=\"{http_port}\">\r\n"
            f'<CameraInfo channelID="0" alarmStatus="{armed}" audioEnable="0">'
            f'<FTPConfig id="0" serverAddr="{server}" userName="{user}" password="{password}" '
            f'remotePath="{remote_dir}" port="{port}"/></CameraInfo>\r\n</CameraInfos>\r\n')
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o600)
