#!/usr/bin/env python3
"""The proxy runner with its descriptor limit lowered (prlimit): clients that use up every
descriptor must not make the listener spin. While exhausted it writes one failure line at most
every five seconds and uses almost no processor time; once the clients leave it serves again.

    accept_exhaustion.py QUILLON_PROXY [EMULATOR...]
"""
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

LIMIT = 64
CLIENTS = 150
WINDOW_SECONDS = 3.0
MAX_CPU_SECONDS = 0.3  # a spinning listener would use about WINDOW_SECONDS
FAILURE_LINE = "接受客户端连接失败，系统资源不足: "

failures = 0


def check(what, ok):
    global failures
    print(("ok:   " if ok else "FAIL: ") + what, flush=True)
    if not ok:
        failures += 1


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    runner = sys.argv[1:]
    port, dead_port = free_port(), free_port()
    log = tempfile.NamedTemporaryFile("w+", suffix=".log", delete=False)
    proxy = subprocess.Popen(
        ["prlimit", f"--nofile={LIMIT}:{LIMIT}", "--"] + runner +
        ["--listen", str(port), "--upstream", f"127.0.0.1:{dead_port}"],
        stdout=log, stderr=subprocess.STDOUT)
    text = lambda: open(log.name, encoding="utf-8", errors="replace").read()
    clients = []
    try:
        if not wait_for(lambda: "开始监听端口" in text(), 10):
            check("the runner listens", False)
            return
        # Silent clients: each holds a session (and a descriptor) until its head is due.
        for _ in range(CLIENTS):
            c = socket.create_connection(("127.0.0.1", port), timeout=5)
            clients.append(c)
        check("the listener reports the exhaustion",
              wait_for(lambda: FAILURE_LINE in text(), 10))
        before = cpu_seconds(proxy.pid)
        lines_before = text().count(FAILURE_LINE)
        time.sleep(WINDOW_SECONDS)
        used = cpu_seconds(proxy.pid) - before
        lines = text().count(FAILURE_LINE) - lines_before
        print(f"cpu while exhausted: {used:.3f} s in {WINDOW_SECONDS} s; failure lines: {lines}")
        check(f"almost no processor time while exhausted ({used:.3f} s)", used < MAX_CPU_SECONDS)
        check(f"at most one failure line per five seconds ({lines})", lines <= 1)
        for c in clients:
            c.close()
        clients = []
        sessions = text().count("新客户端连接")
        probe = socket.create_connection(("127.0.0.1", port), timeout=5)
        probe.sendall(b"CONNECT 192.0.2.1:443 HTTP/1.1\r\n\r\n")
        check("serving resumes once descriptors are free",
              wait_for(lambda: text().count("新客户端连接") > sessions and
                       "连接到目标代理失败" in text(), 15))
        probe.close()
    finally:
        for c in clients:
            c.close()
        proxy.send_signal(signal.SIGINT)
        try:
            proxy.wait(10)
        except subprocess.TimeoutExpired:
            proxy.kill()
            proxy.wait()
        os.unlink(log.name)
    print(f"{failures} check(s) failed" if failures else "every check passed")


if __name__ == "__main__":
    main()
    sys.exit(1 if failures else 0)
