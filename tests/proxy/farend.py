#!/usr/bin/env python3
"""Far ends for the tests of CONNECT tunnels and of cache farms.

Listens on 127.0.0.1 (the kernel picks the port), prints "port N", and
serves one way, picked by the first argument:

  tls CERT KEY   HTTPS: GET /N answers N bytes i % 251 (HTTP/1.1, closes)
  halfclose      sends "hello\\n", shuts down its sending side, reads the
                 client's bytes until their end and prints "got N" on
                 standard output, then closes
  close          sends "bye\\n" and closes at once, reading nothing
  fresh          HTTP/1.1 with keep-alive: GET /N answers N bytes i % 251,
                 fresh for an hour (Cache-Control: max-age=3600)
"""
import socket
import ssl
import sys
import threading


def pattern(n):
    base = bytes(i % 251 for i in range(251))
    return (base * (n // 251 + 1))[:n]


def tls(conn, ctx):
    try:
        s = ctx.wrap_socket(conn, server_side=True)
        head = b""
        while b"\r\n\r\n" not in head:
            b = s.recv(4096)
            if not b:
                return
            head += b
        path = head.split(b" ")[1]
        body = pattern(int(path[1:]))
        s.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n"
                  b"Connection: close\r\n\r\n" % len(body) + body)
        s.close()
    except (OSError, ValueError):
        conn.close()


def halfclose(conn):
    conn.sendall(b"hello\n")
    conn.shutdown(socket.SHUT_WR)
    n = 0
    while True:
        b = conn.recv(65536)
        if not b:
            break
        n += len(b)
    print("got %d" % n, flush=True)
    conn.close()


def fresh(conn):
    f = conn.makefile("rb")
    try:
        while True:
            line = f.readline(70000)
            if not line:
                break
            while f.readline(70000) not in (b"\r\n", b"\n", b""):
                pass
            body = pattern(int(line.split(b" ")[1][1:]))
            conn.sendall(b"HTTP/1.1 200 OK\r\nCache-Control: max-age=3600\r\n"
                         b"Content-Length: %d\r\n\r\n" % len(body) + body)
    except (OSError, ValueError):
        pass
    conn.close()


def main():
    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(64)
    print("port %d" % srv.getsockname()[1], flush=True)
    mode = sys.argv[1]
    ctx = None
    if mode == "tls":
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(sys.argv[2], sys.argv[3])
    while True:
        conn, _ = srv.accept()
        if mode == "tls":
            threading.Thread(target=tls, args=(conn, ctx), daemon=True).start()
        elif mode == "fresh":
            threading.Thread(target=fresh, args=(conn,), daemon=True).start()
        elif mode == "halfclose":
            threading.Thread(target=halfclose, args=(conn,),
                             daemon=True).start()
        else:
            conn.sendall(b"bye\n")
            conn.close()


main()
