#!/usr/bin/python3
"""Starts portal-sim for Windows test programs under wine, which can start a Linux program
but read neither its output nor its exit code.

  sim-launcher.py PORTAL_SIM TLS_DIR PORT_FILE

Listens on a free loopback port and writes it to PORT_FILE. For each connection: reads the
portal-sim arguments as one JSON array line, starts portal-sim on a free port with its
request log in a temporary folder, answers "LISTENING <port> <log path>" (or "ERROR <text>"),
and stops that server when the client closes its end, then closes the connection.
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading

sim, tls_dir, port_file = sys.argv[1:4]
logs = tempfile.mkdtemp(prefix="sim-launcher-")


def serve(conn):
    with conn:
        data = b""
        while not data.endswith(b"\n"):
            chunk = conn.recv(4096)
            if not chunk:
                return
            data += chunk
        try:
            args = json.loads(data.decode("utf-8"))
        except ValueError as e:
            conn.sendall(b"ERROR bad arguments: %s\n" % str(e).encode())
            return
        log = tempfile.mkdtemp(dir=logs) + "/requests.jsonl"
        proc = subprocess.Popen([sim, "--port", "0", "--tls-dir", tls_dir, "--log", log] + args,
                                stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        line = proc.stdout.readline().decode(errors="replace").strip()
        if not line.startswith("LISTENING "):
            proc.kill()
            proc.wait()
            conn.sendall(("ERROR portal-sim did not listen: %s (exit %s)\n" % (line, proc.poll())).encode())
            return
        conn.sendall(("%s %s\n" % (line, log)).encode())
        while conn.recv(4096):
            pass
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(16)
with open(port_file + ".tmp", "w") as f:
    f.write("%d\n" % listener.getsockname()[1])
os.rename(port_file + ".tmp", port_file)
while True:
    c, _ = listener.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()
