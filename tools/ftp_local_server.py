#!/usr/bin/python3
"""A real FTP server (pyftpdlib) on loopback for tests and demos.

    ftp_local_server.py ROOT USER PASSWORD [PORT]

Serves ROOT (created when missing) to one user with full rights on 127.0.0.1 at PORT (0 or
absent: a free port; "low": a free one below 15536), prints "port N (pid P)" once it
listens, and runs until killed.
"""
import logging
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def bind_low(bind):
    """Binds through bind(port) to a free port below 15536, so that 50000 + port fits in the
    camera's 16-bit port setting (active mode)."""
    for port in range(10000 + os.getpid() % 5000, 15536):
        try:
            return bind(port)
        except OSError:
            continue
    raise OSError("no free port below 15536")


def main():
    root, user, password = sys.argv[1:4]
    port = sys.argv[4] if len(sys.argv) > 4 else "0"
    os.makedirs(root, exist_ok=True)
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    handler = type("Handler", (FTPHandler,), {"authorizer": authorizer})
    logging.basicConfig(level=logging.WARNING)
    if port == "low":
        server = bind_low(lambda p: FTPServer(("127.0.0.1", p), handler))
    else:
        server = FTPServer(("127.0.0.1", int(port)), handler)
    print("port %d (pid %d)" % (server.socket.getsockname()[1], os.getpid()), flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
