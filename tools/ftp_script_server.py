#!/usr/bin/python3
"""A scripted FTP server on loopback: plays a table of replies, one table per connection.

    ftp_script_server.py SCRIPT.json OUTDIR [PORT]

SCRIPT is a JSON list with one object per control connection, in order; a connection
beyond the list is greeted with "421" and closed. An object overrides the default replies
below by command word ("greeting" is sent on connect, "DATA" after the stored bytes). A
reply is sent as given, or is one of:
    "pasv"          open a data listener and answer 227 with its address
    "port"          answer 200; connect to the PORT address after STOR
    "port-silent"   answer 200; never connect
    "drop"          close the connection without an answer
    "stall:TEXT"    (also as greeting) send TEXT, then hold the connection open without a word

Each connection ("<connection> connected") and every command line it sends ("<connection>
<line>") is appended to OUTDIR/transcript; the bytes stored by STOR go to
OUTDIR/<connection>-<name>. Listens on 127.0.0.1 at PORT (default: a free port), prints
"port N" once it listens, and serves each connection on its own thread until killed.
"""
import json
import os
import socket
import sys
import threading
import time

DEFAULTS = {
    "greeting": "220 ready\r\n", "USER": "331 password\r\n", "PASS": "230 in\r\n",
    "TYPE": "200 binary\r\n", "PASV": "pasv", "PORT": "port", "CWD": "250 ok\r\n",
    "STOR": "150 go\r\n", "DATA": "226 stored\r\n", "QUIT": "221 bye\r\n",
}


def read_line(conn):
    line = b""
    while not line.endswith(b"\n"):
        byte = conn.recv(1)
        if not byte:
            return None
        line += byte
    return line.decode("latin-1").rstrip("\r\n")


def serve(conn, number, table, outdir):
    data_listener = None
    port_target = None
    with open(os.path.join(outdir, "transcript"), "a") as transcript:
        transcript.write("%d connected\n" % number)
        transcript.flush()
        send(conn, table["greeting"])
        while True:
            line = read_line(conn)
            if line is None:
                return
            transcript.write("%d %s\n" % (number, line))
            transcript.flush()
            word, _, argument = line.partition(" ")
            reply = table.get(word.upper(), "502 not scripted\r\n")
            if reply == "drop":
                return
            if reply == "pasv":
                data_listener = socket.socket()
                data_listener.bind(("127.0.0.1", 0))
                data_listener.listen(1)
                port = data_listener.getsockname()[1]
                reply = "227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n" % (port // 256, port % 256)
            elif reply in ("port", "port-silent"):
                parts = [int(p) for p in argument.split(",")]
                if reply == "port":
                    port_target = ("%d.%d.%d.%d" % tuple(parts[:4]), parts[4] * 256 + parts[5])
                reply = "200 port ok\r\n"
            send(conn, reply)
            # Without a data connection (PORT unanswered) the client gives up by itself.
            if word.upper() == "STOR" and reply.startswith("150") and (data_listener or port_target):
                receive(data_listener, port_target, os.path.join(outdir, "%d-%s" % (number, argument)))
                conn.sendall(table["DATA"].encode("latin-1"))


def send(conn, reply):
    if reply.startswith("stall:"):
        conn.sendall(reply[6:].encode("latin-1"))
        time.sleep(3600)
    conn.sendall(reply.encode("latin-1"))


def receive(data_listener, port_target, path):
    if port_target is not None:
        data = socket.create_connection(port_target)
    else:
        data, _ = data_listener.accept()
    with data, open(path, "wb") as out:
        while True:
            chunk = data.recv(65536)
            if not chunk:
                return
            out.write(chunk)


def main():
    with open(sys.argv[1]) as script:
        tables = json.load(script)
    outdir = sys.argv[2]
    listener = socket.socket()
    listener.bind(("127.0.0.1", int(sys.argv[3]) if len(sys.argv) > 3 else 0))
    listener.listen(4)
    print("port %d" % listener.getsockname()[1], flush=True)
    number = 0
    while True:
        conn, _ = listener.accept()
        table = dict(DEFAULTS, **tables[number]) if number < len(tables) else None
        threading.Thread(target=session, args=(conn, number, table, outdir), daemon=True).start()
        number += 1


def session(conn, number, table, outdir):
    with conn:
        if table is None:
            conn.sendall(b"421 no more\r\n")
        else:
            serve(conn, number, table, outdir)


if __name__ == "__main__":
    main()
