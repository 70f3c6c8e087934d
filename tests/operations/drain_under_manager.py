"""A stop of the daemon as systemd makes it, with clients in the middle.

usage: drain_under_manager.py DAEMON ARG...

Plays the service manager: binds a listening socket on loopback, starts
DAEMON ARG... with it on descriptor 3 (LISTEN_PID, LISTEN_FDS) and a
NOTIFY_SOCKET of its own, and keeps its copy of the socket, as systemd does.
Once READY=1 has come, CLIENTS clients each send half their bytes through the
command and read them back; then the daemon gets SIGTERM. Once STOPPING=1 has
come, a late client connects and sends a line, and the first clients send and
read back the other half and close. The daemon must exit 0; every byte must
have come back in order; the late client must still wait in the socket's
queue, neither served nor reset, and be whole when this process accepts it
from its own copy.

The daemon's standard error is this process's. Prints what failed on standard
output and exits 1; exits 0 when all is well.
"""

import os
import random
import select
import signal
import socket
import sys
import tempfile
import threading
import time

CLIENTS = 5
CHUNK = 16384
CHUNKS_PER_HALF = 8
DEADLINE = 20  # seconds for any one wait


class Failed(Exception):
    pass


def start_daemon(argv, listener, notify_path):
    """Forks and execs the daemon with the listening socket on 3; returns its pid."""
    environment = dict(os.environ)
    environment.pop("LISTEN_FDNAMES", None)
    environment.update(LISTEN_FDS="1", NOTIFY_SOCKET=notify_path)
    pid = os.fork()
    if pid != 0:
        return pid
    try:
        # systemd names the process it starts, so the pid is known only here.
        environment["LISTEN_PID"] = str(os.getpid())
        if listener.fileno() == 3:
            os.set_inheritable(3, True)
        else:
            os.dup2(listener.fileno(), 3)
        # Python ignores these; an ignored signal would survive exec.
        for number in (signal.SIGPIPE, signal.SIGXFSZ):
            signal.signal(number, signal.SIG_DFL)
        os.execve(argv[0], argv, environment)
    finally:
        os._exit(127)


def next_notice(notify, wanted):
    """Waits for a notice holding the line wanted; status updates are skipped."""
    notify.settimeout(DEADLINE)
    while True:
        try:
            message = notify.recv(4096).decode(errors="replace")
        except socket.timeout:
            raise Failed("no %s on NOTIFY_SOCKET" % wanted) from None
        if wanted in message.split("\n"):
            return


def receive_exactly(conn, count):
    data = bytearray()
    while len(data) < count:
        more = conn.recv(count - len(data))
        if not more:
            break
        data += more
    return bytes(data)


class Client:
    """One connection echoed by cat, its bytes sent and checked in two halves."""

    def __init__(self, port, seed):
        generator = random.Random(seed)
        self.halves = [generator.randbytes(CHUNK * CHUNKS_PER_HALF) for _ in range(2)]
        self.conn = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
        self.error = None

    def exchange(self, half):
        try:
            data = self.halves[half]
            for start in range(0, len(data), CHUNK):
                chunk = data[start:start + CHUNK]
                self.conn.sendall(chunk)
                if receive_exactly(self.conn, len(chunk)) != chunk:
                    raise Failed("half %d: bytes lost or changed at offset %d" % (half, start))
            if half == 1:
                self.conn.shutdown(socket.SHUT_WR)
                rest = self.conn.recv(1)
                if rest:
                    raise Failed("bytes after the end: %r" % rest)
        except (OSError, Failed) as error:
            self.error = "half %d: %s" % (half, error)


def in_parallel(clients, half):
    threads = [threading.Thread(target=client.exchange, args=(half,)) for client in clients]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(DEADLINE * 2)
    errors = ["client %d, %s" % (i, c.error) for i, c in enumerate(clients) if c.error]
    if errors:
        raise Failed("; ".join(errors))


def wait_for_exit(pid):
    """The daemon's exit status, or raises at the deadline."""
    end = time.monotonic() + DEADLINE
    while time.monotonic() < end:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done == pid:
            return status
        time.sleep(0.05)
    raise Failed("the daemon did not exit within %d s of its last client" % DEADLINE)


def check_late_client(listener, late):
    readable, _, _ = select.select([late], [], [], 0)
    if readable:
        raise Failed("the late client was served or reset: %r" % late.recv(100))
    listener.settimeout(DEADLINE)
    taken, peer = listener.accept()
    with taken:
        if peer[1] != late.getsockname()[1]:
            raise Failed("accepted a connection from port %d, not the late client's" % peer[1])
        taken.settimeout(DEADLINE)
        if receive_exactly(taken, 12) != b"late client\n":
            raise Failed("the late client's line did not wait whole in the queue")
        taken.sendall(b"welcome\n")
        if receive_exactly(late, 8) != b"welcome\n":
            raise Failed("the late client cannot be served by the next daemon")


def run(argv, workdir):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(128)
    port = listener.getsockname()[1]
    notify_path = os.path.join(workdir, "notify")
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(notify_path)

    pid = start_daemon(argv, listener, notify_path)
    try:
        next_notice(notify, "READY=1")
        clients = [Client(port, seed) for seed in range(CLIENTS)]
        in_parallel(clients, 0)
        started = time.monotonic()
        os.kill(pid, signal.SIGTERM)
        next_notice(notify, "STOPPING=1")
        late = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
        late.sendall(b"late client\n")
        in_parallel(clients, 1)
        for client in clients:
            client.conn.close()
        status = wait_for_exit(pid)
        pid = None
        if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
            raise Failed("the daemon ended with wait status %d, not exit status 0" % status)
        print("drained in %.1f s" % (time.monotonic() - started))
        check_late_client(listener, late)
        late.close()
    finally:
        if pid is not None:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)


def main():
    # A TERM from timeout(1) must still end the daemon, in the finally above.
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(124))
    with tempfile.TemporaryDirectory() as workdir:
        try:
            run(sys.argv[1:], workdir)
        except (Failed, OSError) as error:
            print("FAIL: %s" % error)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
