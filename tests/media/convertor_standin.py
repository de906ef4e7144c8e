#!/usr/bin/env python3
"""Stand-in converter for the convertor tests: records its command line, then plays the
converter's side of the contract. It greets with its process id on one connection (and with
pid | 0x1000000 on a second one when the line has an audio input), reads what it is sent,
closes its audio connection when it reads b"CLOSE!" there, and exits when it reads b"EXIT!"
on the video connection or the program closes it. A snapshot line (no -lss) writes "JPEG"
into the output file."""
import os
import socket
import struct
import sys
import threading

here = os.path.dirname(os.path.abspath(sys.argv[0]))
args = sys.argv[1:]
with open(os.path.join(here, "calls.txt"), "a") as record:
    record.write("%d\t%s\n" % (os.getpid(), "\x1f".join(args)))

if "-lss" not in args:
    with open(args[-1], "wb") as out:
        out.write(b"JPEG")
    sys.exit(0)

port = int(args[args.index("-lss") + 1].rsplit(":", 1)[1])
pid = os.getpid()


def connect(key):
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    sock.settimeout(None)
    sock.sendall(struct.pack("<I", key))
    return sock


def pump(sock, marker, on_marker):
    tail = b""
    while True:
        try:
            data = sock.recv(65536)
        except OSError:
            return
        if not data:
            return
        if marker in tail + data:
            on_marker()
            return
        tail = data[-len(marker):]


video = connect(pid)
if args.count("-i") == 2:
    audio = connect(pid | 0x1000000)

    def close_audio():
        audio.shutdown(socket.SHUT_RDWR)
        audio.close()

    threading.Thread(target=pump, args=(audio, b"CLOSE!", close_audio), daemon=True).start()
pump(video, b"EXIT!", lambda: None)
os._exit(0)
