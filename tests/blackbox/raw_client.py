"""Sends stdin to HOST:PORT, half-closes, and copies the reply to stdout (run inside a namespace)."""

import socket
import sys


def main():
    host, port = sys.argv[1], int(sys.argv[2])
    data = sys.stdin.buffer.read()
    with socket.create_connection((host, port), timeout=10) as sock:
        sock.sendall(data)
        chunks = []
        while True:
            try:
                chunk = sock.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            chunks.append(chunk)
    sys.stdout.buffer.write(b"".join(chunks))


if __name__ == "__main__":
    main()
