#!/usr/bin/python3
"""A stand-in for the camera account web service, on loopback, for tests and demos.

    webservice_standin.py DATA_DIR [--port N] [--user NAME:PASSWORD]... [--bare-user NAME:PASSWORD]...

Answers GET /monitor/services/WebCamService?method=createUser|login|addDevice on 127.0.0.1
with the reply markers the camera searches for. Users live in DATA_DIR/users.json (created
when missing); --user adds one with a camera device, --bare-user one without (its first login
answers "device not exist", so the camera adds itself). A login carries no serial id, so
an account without any device is the account that does not have this one. A password is
accepted as typed or as the upper-case MD5 of user name + password (a remembered login).
Port 0 or absent: a free port. Prints "port N (pid P)" once it listens and writes the port
to DATA_DIR/port; runs until killed.
"""
import argparse
import datetime
import hashlib
import http.server
import json
import os
import sys
import threading
import urllib.parse

SALT = "vantor_homecam_installer_pepper7"
NS = 'xmlns:ns="http://service.monitor.example"'


class Store:
    def __init__(self, folder):
        self.path = os.path.join(folder, "users.json")
        self.lock = threading.Lock()
        self.data = {"nextCamId": 1000, "users": {}}
        if os.path.exists(self.path):
            with open(self.path, encoding="utf-8") as f:
                self.data = json.load(f)

    def save(self):
        tmp = self.path + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(self.data, f, ensure_ascii=False, indent=1)
        os.replace(tmp, self.path)

    def add_device(self, user, serial="", name=""):
        cam = "cam%d" % self.data["nextCamId"]
        self.data["nextCamId"] += 1
        user["devices"].append({"camId": cam, "serialID": serial, "camName": name,
                                "ftpPassword": hashlib.md5(cam.encode()).hexdigest()[:8]})

    def add_user(self, name, password, mobile="", with_device=True, serial="", cam_name=""):
        user = {"password": password, "mobileNumber": mobile, "devices": []}
        if with_device:
            self.add_device(user, serial, cam_name)
        self.data["users"][name] = user
        return user

    def authorised(self, name, password):
        user = self.data["users"].get(name)
        if user is None:
            return None
        digest = hashlib.md5((name + user["password"]).encode("utf-8")).hexdigest().upper()
        return user if password in (user["password"], digest) else None


def reply(element, text, extra=""):
    return '<?xml version="1.0"?><%s %s><ns:return>%s%s</ns:return></%s>' % (
        element, NS, text, extra, element)


def md5_key_ok(serial, key):
    today = datetime.datetime.now(datetime.timezone.utc).date()
    for day in (today, today - datetime.timedelta(days=1)):
        text = day.strftime("%Y-%m-%d") + serial + SALT
        if hashlib.md5(text.encode("utf-8")).hexdigest().upper() == key:
            return True
    return False


def answer(store, q):
    method = q.get("method", "")
    name = q.get("userName", "")
    password = q.get("password", "")
    with store.lock:
        if method == "createUser":
            if name in store.data["users"]:
                return reply("createUserReturn", "createUser failed: user aleady exist.")
            needed = ("password", "mobileNumber", "camName", "serialID", "md5Key")
            if not name or any(not q.get(k) for k in needed) or not md5_key_ok(q["serialID"], q["md5Key"]):
                return reply("createUserReturn", "createUser failed: missing infomation.")
            # The camera name was encoded twice; the query parser undid one pass.
            store.add_user(name, password, q["mobileNumber"], True, q["serialID"],
                           urllib.parse.unquote_plus(q["camName"]))
            store.save()
            return reply("createUserReturn", "createUser success.")
        if method in ("login", "addDevice"):
            element = method + "Return"
            if not name or not password:
                return reply(element, method + " failed: missing infomation.")
            user = store.authorised(name, password)
            if user is None:
                return reply(element, method + " failed: unauthorized user.")
            if method == "addDevice":
                store.add_device(user)
                store.save()
                return reply(element, "addDevice success.")
            if not user["devices"]:
                return reply(element, "login failed: webcam device not exist.")
            d = user["devices"][-1]
            record = ("<Camera camId='%s' userName='%s' userPassword='%s' ftpUser='%s' ftpPassword='%s' />"
                      % (d["camId"], name, user["password"], d["camId"], d["ftpPassword"]))
            return reply(element, "login success.", record)
    return None


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path != "/monitor/services/WebCamService":
            self.send_error(404)
            return
        q = {k: v[0] for k, v in urllib.parse.parse_qs(url.query, keep_blank_values=True).items()}
        body = answer(self.server.store, q)
        if body is None:
            self.send_error(400)
            return
        data = body.encode("utf-8")
        self.send_response(200)
        self.send_header("Content-Type", "text/xml; charset=utf-8")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)
        self.close_connection = True

    def log_message(self, fmt, *args):
        sys.stderr.write("webservice: " + (fmt % args) + "\n")


def pair(text):
    name, sep, password = text.partition(":")
    if not sep or not name:
        raise argparse.ArgumentTypeError("NAME:PASSWORD expected")
    return name, password


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("data_dir")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--user", type=pair, action="append", default=[])
    ap.add_argument("--bare-user", type=pair, action="append", default=[])
    args = ap.parse_args()
    os.makedirs(args.data_dir, exist_ok=True)
    store = Store(args.data_dir)
    for (name, password), device in [(u, True) for u in args.user] + [(u, False) for u in args.bare_user]:
        if name not in store.data["users"]:
            store.add_user(name, password, with_device=device)
    store.save()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.store = store
    port = server.server_address[1]
    with open(os.path.join(args.data_dir, "port"), "w") as f:
        f.write(str(port))
    print("port %d (pid %d)" % (port, os.getpid()), flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
