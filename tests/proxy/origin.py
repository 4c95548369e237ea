#!/usr/bin/env python3
"""A scripted origin server for the proxy's tests.

Listens on 127.0.0.1 (port 0: the kernel picks), prints "port N" on its
first line, and serves HTTP/1.1 with keep-alive on one thread per
connection.  The path picks the behaviour:

  /len/N          N bytes with Content-Length
  /chunked/N      N bytes chunked (chunks of up to 1000 bytes, a trailer)
  /close/N        N bytes, no length, then close (HTTP/1.0 style)
  /huge/N         N bytes with Content-Length, written in 1 MiB pieces
  /slow/MS/N      waits MS ms, then /len/N
  /drip/N         N bytes with Content-Length, one byte every 50 ms
  /lie/N          says Content-Length N, sends N/2 bytes, closes
  /diechunk/N     chunked, dies after N bytes without the last chunk
  /stall/N        says Content-Length 2N, sends N bytes, then waits 30 s
  /mute           reads the request, never answers (30 s)
  /noread         reads the request head only, never answers (30 s)
  /bighead/N      a response head with a header of N bytes
  /raw/HEX        sends the bytes HEX decodes to, then closes
  /echo           200 with the request head and body as received
  /count          the number of connections accepted so far
  /status/N       status N, no body for 1xx/204/304
  /x/NAME?QUERY   scripted for cache tests; the body is "NAME#K" for the
                  K-th request to NAME (padded to n=LEN bytes); query keys:
                  s=STATUS, h=NAME:VALUE (repeatable; NOW, NOW+S or NOW-S
                  become HTTP dates, K the request number), ms=DELAY,
                  v304=1 (304 to a conditional request), lie=1 (half the
                  body, then close), pat=1 (the body is n bytes of the
                  pattern instead, sent as /huge sends it), die=K (from
                  the K-th request on, close without answering)
  /hits/NAME      how many requests /x/NAME got
  /last/NAME      the last request head /x/NAME got
Bodies are bytes i % 251 for i in 0..N-1 (check with body_ok).
"""
import email.utils
import re
import socket
import sys
import urllib.parse
import threading
import time

conns = 0
lock = threading.Lock()
hits = {}  # /x/NAME: requests seen
last = {}  # /x/NAME: the last request head


def scripted(sock, method, path, hdrs, raw):
    url = urllib.parse.urlsplit(path)
    name = url.path.split("/")[2]
    q = urllib.parse.parse_qs(url.query)
    with lock:
        k = hits[name] = hits.get(name, 0) + 1
        last[name] = raw
    time.sleep(int(q.get("ms", ["0"])[0]) / 1000)
    if k >= int(q.get("die", ["0"])[0]) > 0:
        return False
    date = lambda m: email.utils.formatdate(
        time.time() + int(m.group(1) or 0), usegmt=True)
    extra = b""
    for h in q.get("h", []):
        h = re.sub(r"NOW([+-][0-9]+)?", date, h).replace("K", str(k))
        extra += h.encode("latin1") + b"\r\n"
    cond = "if-none-match" in hdrs or "if-modified-since" in hdrs
    if q.get("v304") and cond:
        sock.sendall(b"HTTP/1.1 304 X\r\n" + extra + b"\r\n")
        return True
    n = int(q.get("n", ["0"])[0])
    status = int(q.get("s", ["200"])[0])
    if q.get("pat"):
        sock.sendall(b"HTTP/1.1 %d X\r\nContent-Length: %d\r\n" % (status, n)
                     + extra + b"\r\n")
        sendpattern(sock, 0 if method == "HEAD" else n)
        return True
    body = b"%s#%d" % (name.encode(), k)
    body = body.ljust(n, b".")
    if q.get("lie"):
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n" % len(body)
                     + extra + b"\r\n" + body[: len(body) // 2])
        return False
    send(sock, status, b"" if method == "HEAD" else body, extra)
    return True


def pattern(n, start=0):
    base = bytes(i % 251 for i in range(251))
    out = bytearray()
    off = start % 251
    while len(out) < n:
        out += base[off:]
        off = 0
    return bytes(out[:n])


def sendpattern(sock, n):
    piece = pattern(251 * 4177)  # a multiple of 251 bytes: ~1 MiB
    while n > 0:
        k = min(n, len(piece))
        sock.sendall(piece if k == len(piece) else piece[:k])
        n -= k


def readhead(f):
    lines = []
    while True:
        line = f.readline(70000)
        if not line:
            return None
        if line in (b"\r\n", b"\n"):
            if not lines:
                continue
            return lines
        lines.append(line)


def readbody(f, hdrs):
    te = hdrs.get("transfer-encoding", "")
    if "chunked" in te.lower():
        body = b""
        while True:
            size = int(f.readline().split(b";")[0], 16)
            if size == 0:
                while f.readline() not in (b"\r\n", b"\n", b""):
                    pass
                return body
            body += f.read(size)
            f.readline()
    n = int(hdrs.get("content-length", "0"))
    return f.read(n) if n else b""


def send(sock, status, body, extra=b"", length=True):
    head = b"HTTP/1.1 %d X\r\n" % status + extra
    if length:
        head += b"Content-Length: %d\r\n" % len(body)
    sock.sendall(head + b"\r\n" + body)


def handle(sock, f, method, path, hdrs, raw, body):
    """Answers one request; False to close the connection."""
    parts = path.split("/")
    kind = parts[1] if len(parts) > 1 else ""
    arg = lambda i: int(parts[i]) if len(parts) > i and parts[i] else 0
    nobody = method == "HEAD"
    if kind == "len":
        data = pattern(arg(2))
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" %
                     len(data) + (b"" if nobody else data))
    elif kind == "chunked":
        n = arg(2)
        sock.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
        if not nobody:
            out, i = bytearray(), 0
            while i < n:
                k = min(1000, n - i)
                out += b"%x;ext=1\r\n" % k + pattern(k, i) + b"\r\n"
                i += k
            sock.sendall(bytes(out) + b"0\r\nX-Trailer: t\r\n\r\n")
    elif kind == "close":
        sock.sendall(b"HTTP/1.0 200 OK\r\n\r\n" + pattern(arg(2)))
        return False
    elif kind == "huge":
        n = arg(2)
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % n)
        sendpattern(sock, 0 if nobody else n)
    elif kind == "slow":
        time.sleep(arg(2) / 1000)
        send(sock, 200, pattern(arg(3)))
    elif kind == "drip":
        n = arg(2)
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % n)
        for b in pattern(n):
            time.sleep(0.05)
            sock.sendall(bytes([b]))
    elif kind == "lie":
        n = arg(2)
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % n +
                     pattern(n // 2))
        return False
    elif kind == "diechunk":
        n = arg(2)
        sock.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                     + b"%x\r\n" % n + pattern(n) + b"\r\n")
        return False
    elif kind == "stall":
        n = arg(2)
        sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" %
                     (2 * n) + pattern(n))
        time.sleep(30)
        return False
    elif kind == "mute":
        time.sleep(30)
        return False
    elif kind == "raw":
        sock.sendall(bytes.fromhex(parts[2]))
        return False
    elif kind == "bighead":
        sock.sendall(b"HTTP/1.1 200 OK\r\nX: " + b"x" * arg(2) +
                     b"\r\nContent-Length: 0\r\n\r\n")
    elif kind == "echo":
        send(sock, 200, raw + body)
    elif kind == "x":
        return scripted(sock, method, path, hdrs, raw)
    elif kind == "hits":
        send(sock, 200, b"%d" % hits.get(parts[2], 0))
    elif kind == "last":
        send(sock, 200, last.get(parts[2], b""))
    elif kind == "count":
        send(sock, 200, b"%d" % conns)
    elif kind == "status":
        st = arg(2)
        if st < 200 or st in (204, 304):
            sock.sendall(b"HTTP/1.1 %d X\r\n\r\n" % st)
            if st < 200:
                send(sock, 200, b"after")
        else:
            send(sock, st, b"status")
    else:
        send(sock, 404, b"no such path")
    return True


def serve(sock):
    global conns
    with lock:
        conns += 1
    f = sock.makefile("rb")
    try:
        while True:
            lines = readhead(f)
            if lines is None:
                return
            method, path, version = lines[0].decode("latin1").split()
            hdrs = {}
            for l in lines[1:]:
                k, v = l.decode("latin1").split(":", 1)
                hdrs[k.strip().lower()] = v.strip()
            if path.startswith("/noread"):
                time.sleep(30)  # never reads the request body
                return
            body = readbody(f, hdrs)
            keep = handle(sock, f, method, path, hdrs, b"".join(lines), body)
            if not keep or hdrs.get("connection", "").lower() == "close":
                return
    except (OSError, ValueError):
        pass
    finally:
        try:
            sock.close()
        except OSError:
            pass


def main():
    ls = socket.socket()
    ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    ls.bind(("127.0.0.1", int(sys.argv[1]) if len(sys.argv) > 1 else 0))
    ls.listen(1024)
    print("port", ls.getsockname()[1], flush=True)
    while True:
        s, _ = ls.accept()
        threading.Thread(target=serve, args=(s,), daemon=True).start()


if __name__ == "__main__":
    main()
