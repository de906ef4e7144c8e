"""One copy of the built program for a benchmark: a folder, registry and log of its own, the
port-mapper recorder in place of the real tool, and the stand-in account service with a
remembered login, so that the program passes its login dialog by itself."""
import hashlib
import json
import os
import shutil
import subprocess
import time

REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
ACCOUNT, ACCOUNT_PASSWORD = "bench", "bench-pass"


def copy_program(bin_dir, dest):
    os.makedirs(dest)
    for name in os.listdir(bin_dir):
        src = os.path.join(bin_dir, name)
        if name == "upnpc-shared" or not os.path.isfile(src):
            continue
        if name.endswith((".log", ".bak", "._lock", ".xml")) or name.startswith("seed."):
            continue
        shutil.copy2(src, dest, follow_symlinks=False)


class BenchCamera:
    def __init__(self, root, bin_dir, capture, web=False):
        self.prog = os.path.join(root, "prog")
        copy_program(bin_dir, self.prog)
        if web:
            shutil.copytree(os.path.join(bin_dir, "web"), os.path.join(self.prog, "web"))
        self.exe = os.path.join(self.prog, "VantorHomeCamera")
        self.env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(root, "config"), QT_QPA_PLATFORM="offscreen",
                        VTCAM_CAPTURE=capture, VTCAM_PORT_MAPPER=os.path.join(REPO, "tools/upnpc-standin.sh"),
                        VTCAM_PORT_MAPPER_LOG=os.path.join(root, "upnpc.log"))
        self.service_dir = os.path.join(root, "webservice")
        os.makedirs(self.service_dir)
        self.service = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(REPO, "tools/webservice_standin.py"), self.service_dir,
             "--user", f"{ACCOUNT}:{ACCOUNT_PASSWORD}"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.env["VTCAM_WEBSERVICE_PORT"] = self.service.stdout.readline().split()[1]
        registry = os.path.join(self.env["XDG_CONFIG_HOME"], "Norvane", "VantorHomeCamera")
        os.makedirs(registry)
        digest = hashlib.md5((ACCOUNT + ACCOUNT_PASSWORD).encode()).hexdigest().upper()
        with open(os.path.join(registry, "registry"), "w") as f:
            f.write(f"s AutoLogin=yes\ns LoginUserName={ACCOUNT}\ns UPMDString={digest}\n")
        self.log_path = os.path.join(self.prog, "VantorHomeCamera.log")
        self.proc = None

    def ftp_login(self):
        """The FTP user and password a login hands to channel 0."""
        with open(os.path.join(self.service_dir, "users.json"), encoding="utf-8") as f:
            device = json.load(f)["users"][ACCOUNT]["devices"][0]
        return device["camId"], device["ftpPassword"]

    def start(self):
        self.proc = subprocess.Popen([self.exe], cwd=self.prog, env=self.env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self.proc

    def stop(self, wait=15):
        """Asks the program to end as a user would (-stop), and kills it when it does not."""
        subprocess.run([self.exe, "-stop"], cwd=self.prog, env=self.env, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if self.proc is None:
            return
        try:
            self.proc.wait(wait)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()

    def log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def wait_for(self, text, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.log():
                return True
            time.sleep(0.1)
        return False

    def close(self):
        self.service.kill()
        self.service.wait()
