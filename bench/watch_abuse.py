#!/usr/bin/env python3
"""Bad input against a running talvawatch, with its memory read before and after.

    python3 bench/watch_abuse.py PID PORT [ROUNDS]

Each round: 200 connections at once that send nothing, 200 malformed or huge
requests (garbage, 100 kB paths and headers, a 100 MB Content-Length,
traversals), 100 event streams opened and dropped mid-stream, and 500 page
requests from 50 clients at once. Prints the watcher's resident memory
(VmRSS) and thread count after each round, and whether every page request
was answered.
"""
import socket
import sys
import threading
import time


def rss(pid):
    with open(f"/proc/{pid}/status") as f:
        fields = dict(line.split(":", 1) for line in f)
    return int(fields["VmRSS"].split()[0]) // 1024, int(fields["Threads"])


def send(port, data, read=True, timeout=10):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    try:
        s.sendall(data)
        if not read:
            return b""
        out = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            out += chunk
        return out
    except OSError:
        return b""
    finally:
        s.close()


BAD = [
    b"GARBAGE\r\n\r\n",
    b"\x00\xff\x01\x02\r\n\r\n",
    b"GET /" + b"a" * 100000 + b" HTTP/1.1\r\nConnection: close\r\n\r\n",
    b"GET / HTTP/1.1\r\nX-A: " + b"b" * 100000 + b"\r\n\r\n",
    b"POST /api/summary HTTP/1.1\r\nConnection: close\r\nContent-Length: 100000000\r\n\r\n",
    b"GET /../../etc/passwd HTTP/1.1\r\nConnection: close\r\n\r\n",
    b"GET /api/series?classes=" + b"1," * 5000 + b"1 HTTP/1.1\r\nConnection: close\r\n\r\n",
]


def main():
    pid, port = int(sys.argv[1]), int(sys.argv[2])
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    print("start: RSS %d MB, %d threads" % rss(pid))
    for r in range(rounds):
        idle = [socket.create_connection(("127.0.0.1", port)) for _ in range(200)]
        threads = [threading.Thread(target=send, args=(port, BAD[i % len(BAD)])) for i in range(200)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for s in idle:
            s.close()
        for _ in range(100):  # a stream dropped after its first bytes
            s = socket.create_connection(("127.0.0.1", port), timeout=10)
            s.sendall(b"GET /events HTTP/1.1\r\nHost: x\r\n\r\n")
            try:
                s.recv(100)
            except OSError:
                pass
            s.close()
        answered = []

        def client():
            for _ in range(10):
                reply = send(port, b"GET /api/series?classes=all HTTP/1.1\r\nConnection: close\r\n\r\n", timeout=60)
                answered.append(reply.startswith(b"HTTP/1.1 200"))

        clients = [threading.Thread(target=client) for _ in range(50)]
        for t in clients:
            t.start()
        for t in clients:
            t.join()
        time.sleep(1)
        mb, threads_now = rss(pid)
        print("round %d: RSS %d MB, %d threads, %d/%d page requests answered"
              % (r + 1, mb, threads_now, sum(answered), len(answered)))


if __name__ == "__main__":
    main()
