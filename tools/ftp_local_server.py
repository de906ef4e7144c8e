#!/usr/bin/python3
"""A real FTP server (pyftpdlib) on loopback for tests and demos.

    ftp_local_server.py ROOT USER PASSWORD [PORT]

Serves ROOT (created when missing) to one user with full rights on 127.0.0.1 (PORT 0 or
absent: a free port), prints "port N" once it listens, and runs until killed.
"""
import logging
import os
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    root, user, password = sys.argv[1:4]
    port = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    os.makedirs(root, exist_ok=True)
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    handler = type("Handler", (FTPHandler,), {"authorizer": authorizer})
    logging.basicConfig(level=logging.WARNING)
    server = FTPServer(("127.0.0.1", port), handler)
    print("port %d" % server.socket.getsockname()[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
