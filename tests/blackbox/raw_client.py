"""Sends stdin to HOST:PORT and copies the reply to stdout (run inside a network namespace)."""

import socket
import sys

from harness import read_all


def main():
    host, port = sys.argv[1], int(sys.argv[2])
    data = sys.stdin.buffer.read()
    with socket.create_connection((host, port), timeout=10) as sock:
        sock.sendall(data)
        reply = read_all(sock)
    sys.stdout.buffer.write(reply)


if __name__ == "__main__":
    main()
