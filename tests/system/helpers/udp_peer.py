#!/usr/bin/python3
"""A discovery peer for tests, run inside a network namespace.

  udp_peer.py listen LOG            log every datagram on port 32200:
                                    "<monotonic time> <src ip> <src port> <hex>"
  udp_peer.py send HOST PORT HEX... send datagrams in this order (HOST may be
                                    255.255.255.255)
  udp_peer.py ask HOST [AP]         send a request, print the hex of the answer;
                                    with AP, from port 32200, as an AP asks, and
                                    the answer may come by broadcast
  udp_peer.py flood SRC HOST RATE SECONDS
                                    send RATE requests a second from address SRC
"""
import socket
import sys
import time

PORT = 32200
REQUEST = bytes.fromhex("fedcbaff0101") + bytes(8)


def listen(log):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("0.0.0.0", PORT))
    with open(log, "a", buffering=1) as out:
        out.write("ready\n")
        while True:
            data, (ip, port) = s.recvfrom(4096)
            out.write(f"{time.monotonic():.3f} {ip} {port} {data.hex()}\n")


def send(host, port, *hexdata):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    # Without a default route the limited broadcast needs its interface named.
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, b"br-lan")
    for h in hexdata:
        s.sendto(bytes.fromhex(h), (host, int(port)))


def ask(host, ap=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(3)
    if ap:
        s.bind(("0.0.0.0", PORT))
    s.sendto(REQUEST, (host, PORT))
    data, _ = s.recvfrom(4096)
    print(data.hex())


def flood(src, host, rate, seconds):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((src, 0))
    start = time.monotonic()
    sent, total = 0, int(float(rate) * float(seconds))
    while sent < total:
        while sent < min(total, (time.monotonic() - start) * int(rate)):
            s.sendto(REQUEST, (host, PORT))
            sent += 1
        time.sleep(0.002)


if __name__ == "__main__":
    cmd, args = sys.argv[1], sys.argv[2:]
    {"listen": listen, "send": send, "ask": ask, "flood": flood}[cmd](*args)
