#!/usr/bin/env python3
"""A local web server for the update check's tests.

Serves the files of FOLDER, prints "port N" once it listens on 127.0.0.1, and appends
"path<TAB>user agent" per request to FOLDER/requests.log. Besides the files:
  /hang           accepts the request and never answers
  /big?N          answers 200 with N bytes
  /redirect/K/X   redirects K times, then to /X
"""
import http.server
import os
import sys
import time


class Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        with open(os.path.join(self.directory, "requests.log"), "a") as log:
            log.write("%s\t%s\n" % (self.path, self.headers.get("User-Agent", "")))
        if self.path == "/hang":
            time.sleep(120)
            return
        if self.path.startswith("/big?"):
            size = int(self.path[5:])
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.end_headers()
            chunk = b"x" * 65536
            while size > 0:
                try:
                    self.wfile.write(chunk[: min(size, len(chunk))])
                except OSError:
                    return
                size -= len(chunk)
            return
        if self.path.startswith("/redirect/"):
            _, _, count, rest = self.path.split("/", 3)
            count = int(count)
            target = "/redirect/%d/%s" % (count - 1, rest) if count > 1 else "/" + rest
            self.send_response(302)
            self.send_header("Location", target)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        super().do_GET()


def main():
    folder = sys.argv[1]
    handler = lambda *a, **k: Handler(*a, directory=folder, **k)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    print("port %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
