#!/usr/bin/python3
"""A loopback update server for tests and demos: Python's http.server or pyftpdlib
(anonymous, read-only) serving a folder. Prints "PORT <n>" once it listens.

  update-server.py http|ftp <folder> [--fail NAME:COUNT ...] [--log FILE]

--fail makes the first COUNT requests for NAME (a path below the folder, e.g.
liveupdate/data.bin) fail: HTTP answers 503, FTP refuses the RETR.
--log appends one line per requested path.
"""
import argparse
import functools
import http.server
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=["http", "ftp"])
    parser.add_argument("folder")
    parser.add_argument("--fail", action="append", default=[])
    parser.add_argument("--log")
    args = parser.parse_args()
    failures = {}
    for item in args.fail:
        name, count = item.rsplit(":", 1)
        failures[name.strip("/")] = int(count)

    def should_fail(path):
        path = path.strip("/")
        if args.log:
            with open(args.log, "a") as f:
                f.write(path + "\n")
        if failures.get(path, 0) > 0:
            failures[path] -= 1
            return True
        return False

    if args.kind == "http":
        class Handler(http.server.SimpleHTTPRequestHandler):
            def do_GET(self):
                if should_fail(self.path.split("?")[0]):
                    self.send_error(503)
                    return
                super().do_GET()

            def log_message(self, *a):
                pass

        server = http.server.ThreadingHTTPServer(
            ("127.0.0.1", 0), functools.partial(Handler, directory=args.folder))
        print("PORT", server.server_address[1], flush=True)
        server.serve_forever()
    else:
        import logging
        from pyftpdlib.authorizers import DummyAuthorizer
        from pyftpdlib.handlers import FTPHandler
        from pyftpdlib.servers import FTPServer
        logging.basicConfig(level=logging.WARNING)

        class Handler(FTPHandler):
            def ftp_RETR(self, file):
                rel = self.fs.fs2ftp(file)
                if should_fail(rel):
                    self.respond("550 Temporarily unavailable.")
                    return
                return super().ftp_RETR(file)

        authorizer = DummyAuthorizer()
        authorizer.add_anonymous(args.folder)
        Handler.authorizer = authorizer
        server = FTPServer(("127.0.0.1", 0), Handler)
        print("PORT", server.socket.getsockname()[1], flush=True)
        server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
