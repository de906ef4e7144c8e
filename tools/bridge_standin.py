#!/usr/bin/python3
"""A stand-in bridge server on loopback, for tests and the demo.

    bridge_standin.py [--host H] [--port 8089] [--viewer-port 0] [--control-port 0]
                      [--nic-port -1] [--nic-reply TEXT]

Camera side (--port): accepts the camera's connection, reads its "GET /nic/REGISTER?..."
request and answers every heart beat ("HEARTBEAT" and a zero byte) with one of its own.
The latest registered connection is the camera.

Viewer side (--viewer-port): each viewer connection opens a relay endpoint on the host,
sends "CONNECT:<host>:<relay port>" and a zero byte to the camera, waits up to 10 s for
the camera's "SvCn" there and then pipes viewer and camera both ways.

Control side (--control-port), one text line per command, answered with one line:
    msg TEXT        send TEXT and a zero byte to the camera ("ok" / "no camera")
    raw HEX         send the bytes as given (split or joined messages)
    close           close the camera's connection
    status          "registrations N relays R nic N" then the last request on the next line
                    (with \\r\\n shown as |)
NIC side (--nic-port, -1 = off): answers each "GET /nic/update?" with --nic-reply (a zero
byte is added; "msg" style) or, when empty, closes without a reply; "nicreply TEXT" on
the control port changes it.

Prints "bridge B viewer V control C nic N (pid P)" once every port listens, and one line
per event ("register N", "relay N open", "relay N closed", "nic N") on stdout.
"""
import argparse
import os
import socket
import sys
import threading

lock = threading.Lock()
state = {"camera": None, "registrations": 0, "last": "", "relays": 0, "nic": 0, "nic_reply": ""}


def say(text):
    with lock:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()


def listen(host, port):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((host, port))
    s.listen(64)
    return s


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(1)
        if not chunk:
            return None
        data += chunk
    return data.decode("latin-1")


def send_camera(data):
    with lock:
        cam = state["camera"]
    if cam is None:
        return False
    try:
        cam.sendall(data)
        return True
    except OSError:
        return False


def serve_camera(conn):
    request = read_request(conn)
    if request is None:  # a RELOGIN probe connects and leaves
        conn.close()
        return
    with lock:
        state["camera"] = conn
        state["registrations"] += 1
        state["last"] = request
        count = state["registrations"]
    say(f"register {count}")
    pending = b""
    while True:
        try:
            chunk = conn.recv(4096)
        except OSError:
            break
        if not chunk:
            break
        pending += chunk
        *messages, pending = pending.split(b"\0")
        for message in messages:
            if message == b"HEARTBEAT":
                try:
                    conn.sendall(b"HEARTBEAT\0")
                except OSError:
                    break
    with lock:
        if state["camera"] is conn:
            state["camera"] = None
    conn.close()


def pipe(src, dst):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            dst.sendall(data)
    except OSError:
        pass
    for s in (src, dst):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def serve_viewer(viewer, host):
    endpoint = listen(host, 0)
    endpoint.settimeout(10)
    with lock:
        state["relays"] += 1
        number = state["relays"]
    try:
        if not send_camera(f"CONNECT:{host}:{endpoint.getsockname()[1]}\0".encode()):
            raise OSError("no camera")
        cam, _ = endpoint.accept()
        cam.settimeout(10)
        hello = b""
        while len(hello) < 4:
            chunk = cam.recv(4 - len(hello))
            if not chunk:
                raise OSError("relay closed")
            hello += chunk
        if hello != b"SvCn":
            raise OSError("no SvCn")
        cam.settimeout(None)
    except OSError:
        endpoint.close()
        viewer.close()
        say(f"relay {number} failed")
        return
    endpoint.close()
    say(f"relay {number} open")
    back = threading.Thread(target=pipe, args=(cam, viewer), daemon=True)
    back.start()
    pipe(viewer, cam)
    back.join()
    viewer.close()
    cam.close()
    say(f"relay {number} closed")


def serve_nic(conn):
    request = read_request(conn)
    if request is not None:
        with lock:
            state["nic"] += 1
            state["last"] = request
            reply = state["nic_reply"]
            count = state["nic"]
        say(f"nic {count}")
        if reply:
            conn.sendall(reply.encode() + b"\0")
    conn.close()


def serve_control(conn):
    f = conn.makefile("rwb", buffering=0)
    for raw in f:
        line = raw.decode("utf-8", "replace").rstrip("\r\n")
        word, _, rest = line.partition(" ")
        if word == "msg":
            answer = "ok" if send_camera(rest.encode() + b"\0") else "no camera"
        elif word == "raw":
            answer = "ok" if send_camera(bytes.fromhex(rest)) else "no camera"
        elif word == "close":
            with lock:
                cam, state["camera"] = state["camera"], None
            if cam is not None:
                try:
                    cam.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
            answer = "ok"
        elif word == "nicreply":
            with lock:
                state["nic_reply"] = rest
            answer = "ok"
        elif word == "status":
            with lock:
                answer = (f"registrations {state['registrations']} relays {state['relays']} nic {state['nic']}\n"
                          + state["last"].replace("\r\n", "|"))
        else:
            answer = "unknown"
        f.write(answer.encode() + b"\n")
    conn.close()


def accept_loop(server, handler, *extra):
    while True:
        conn, _ = server.accept()
        threading.Thread(target=handler, args=(conn, *extra), daemon=True).start()


def main():
    parser = argparse.ArgumentParser(description="stand-in bridge server (loopback only)")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8089)
    parser.add_argument("--viewer-port", type=int, default=0)
    parser.add_argument("--control-port", type=int, default=0)
    parser.add_argument("--nic-port", type=int, default=-1)
    parser.add_argument("--nic-reply", default="")
    args = parser.parse_args()
    if not args.host.startswith("127."):
        sys.exit("bridge_standin: loopback addresses only")
    state["nic_reply"] = args.nic_reply
    bridge = listen(args.host, args.port)
    viewer = listen(args.host, args.viewer_port)
    control = listen(args.host, args.control_port)
    nic = listen(args.host, args.nic_port) if args.nic_port >= 0 else None
    for server, handler, extra in ((bridge, serve_camera, ()), (viewer, serve_viewer, (args.host,)),
                                   (control, serve_control, ()), (nic, serve_nic, ())):
        if server is not None:
            threading.Thread(target=accept_loop, args=(server, handler, *extra), daemon=True).start()
    say(f"bridge {bridge.getsockname()[1]} viewer {viewer.getsockname()[1]} control "
        f"{control.getsockname()[1]} nic {nic.getsockname()[1] if nic else -1} (pid {os.getpid()})")
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
