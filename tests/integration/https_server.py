#!/usr/bin/env python3
"""A small HTTPS file server for the update worker's tests.

https_server.py DIR CERT KEY
Serves DIR on 127.0.0.1 at a port the system picks, with the certificate
chain CERT and its key KEY. Prints "port N" once it listens, logs each request
as "GET PATH STATUS" to standard error, and ends when its standard input
closes (so it dies with the test that started it).
"""
import functools
import http.server
import ssl
import sys
import threading


class Handler(http.server.SimpleHTTPRequestHandler):
    def log_request(self, code="-", size="-"):
        sys.stderr.write("%s %s %s\n" % (self.command, self.path, code))
        sys.stderr.flush()

    def log_message(self, format, *args):
        pass


def main():
    directory, cert, key = sys.argv[1:4]
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    handler = functools.partial(Handler, directory=directory)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    server.socket = ctx.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print("port %d" % server.server_address[1], flush=True)
    sys.stdin.read()  # until the test closes the pipe or ends
    server.shutdown()


if __name__ == "__main__":
    main()
