#!/usr/bin/env python3
"""https_server.py --log LOG DIR CERT KEY: serves DIR over HTTPS on 127.0.0.1, logging
JSON lines like the simulator ("ready" with the port, then "get" per request)."""
import functools
import http.server
import ssl
import sys
import threading


def main():
    log_path, directory, cert, key = sys.argv[2:6]
    log = open(log_path, "a", buffering=1)

    class Handler(http.server.SimpleHTTPRequestHandler):
        def log_request(self, code="-", size="-"):
            log.write('{"ev":"get","path":"%s","status":%s}\n' % (self.path, int(code)))

    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Handler, directory=directory))
    server.daemon_threads = True
    server.socket = ctx.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    log.write('{"ev":"ready","port":%d}\n' % server.server_address[1])
    sys.stdin.read()


if __name__ == "__main__":
    main()
