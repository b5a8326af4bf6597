"""The three-node RabbitMQ cluster of testbed/cluster-start: its nodes, killing
one, and finding which node a process's AMQP connection is on.

From the command line (Debian's python, for pika):
    /usr/bin/python3 tests/e2e/cluster_support.py where PID   # node(s) PID is connected to
    /usr/bin/python3 tests/e2e/cluster_support.py connections # the cluster's client connections
"""
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

from e2e_support import process_alive

REPO = Path(__file__).resolve().parents[2]
RUN = Path(os.environ.get("DIRMIRROR_CLUSTER_RUN", "/tmp/dm-cluster"))
BASE_PORT = int(os.environ.get("DIRMIRROR_CLUSTER_PORT", "5681"))


class Node:
    def __init__(self, letter, index):
        self.name = "rabbit%s@localhost" % letter.upper()
        self.port = BASE_PORT + index
        self.base = RUN / letter / "rabbitmq"

    def pid(self):
        """The node's beam pid, or None when it does not run."""
        try:
            pid = int((self.base / "rabbitmq.pid").read_text().strip())
        except (OSError, ValueError):
            return None
        return pid if process_alive(pid) else None

    def kill(self, wait=10.0):
        """kill -9 of the beam; returns, once the process is gone, the
        time.monotonic() at which the signal was sent."""
        pid = self.pid()
        if pid is None:
            raise RuntimeError("%s is not running" % self.name)
        killed = time.monotonic()
        os.kill(pid, signal.SIGKILL)
        deadline = time.monotonic() + wait
        while process_alive(pid):
            if time.monotonic() > deadline:
                raise RuntimeError("%s (pid %d) still there after SIGKILL" % (self.name, pid))
            time.sleep(0.05)
        return killed

    def ctl(self, *args, timeout=60):
        env = dict(os.environ, HOME=str(self.base / "home"),
                   RABBITMQ_CONF_ENV_FILE=str(self.base / "rabbitmq-env.conf"),
                   ERL_EPMD_ADDRESS="127.0.0.1",
                   RABBITMQ_CTL_ERL_ARGS="-kernel inet_dist_use_interface {127,0,0,1}")
        r = subprocess.run(["/usr/lib/rabbitmq/bin/rabbitmqctl", "-n", self.name, *args],
                           capture_output=True, text=True, env=env, timeout=timeout,
                           stdin=subprocess.DEVNULL)
        if r.returncode != 0:
            raise RuntimeError("rabbitmqctl -n %s %s failed (%d):\n%s%s"
                               % (self.name, " ".join(args), r.returncode, r.stdout, r.stderr))
        return r.stdout

    def __repr__(self):
        return self.name


NODES = [Node(letter, i) for i, letter in enumerate("abc")]


def _script(name, timeout):
    r = subprocess.run([str(REPO / "testbed" / name)], capture_output=True, text=True,
                       timeout=timeout, stdin=subprocess.DEVNULL)
    if r.returncode != 0:
        raise RuntimeError("testbed/%s failed (%d):\n%s%s" % (name, r.returncode, r.stdout, r.stderr))
    return r.stdout


def cluster_start(timeout=240):
    """Starts (or completes) the cluster; returns the beam pids of A, B and C."""
    return [int(p) for p in _script("cluster-start", timeout).split()]


def cluster_stop(timeout=120):
    _script("cluster-stop", timeout)


def amqp_peers(pid):
    """Remote ports of the process's established TCP connections to 127.0.0.1,
    read from /proc (the socket inodes among its open files)."""
    inodes = set()
    fd_dir = "/proc/%d/fd" % pid
    for fd in os.listdir(fd_dir):
        try:
            link = os.readlink(os.path.join(fd_dir, fd))
        except OSError:
            continue
        if link.startswith("socket:["):
            inodes.add(link[8:-1])
    ports = []
    with open("/proc/%d/net/tcp" % pid) as f:
        next(f)
        for line in f:
            cols = line.split()
            remote, state, inode = cols[2], cols[3], cols[9]
            addr, port = remote.split(":")
            if state == "01" and inode in inodes and addr == "0100007F":  # ESTABLISHED, 127.0.0.1
                ports.append(int(port, 16))
    return ports


def connected_nodes(pid):
    """The cluster nodes the process holds a connection to."""
    ports = amqp_peers(pid)
    return [n for n in NODES if n.port in ports]


def main(argv):
    if len(argv) == 3 and argv[1] == "where":
        nodes = connected_nodes(int(argv[2]))
        for n in nodes:
            print("%s 127.0.0.1:%d" % (n.name, n.port))
        return 0 if nodes else 1
    if len(argv) == 2 and argv[1] == "connections":
        # The list is the cluster's; a connection's name ends with the port,
        # and so the node, it was made to.
        running = [n for n in NODES if n.pid() is not None]
        for n in NODES:
            print("%s 127.0.0.1:%d %s" % (n.name, n.port, "running" if n in running else "down"))
        if running:
            print(running[0].ctl("-q", "list_connections", "name", "user", "state"), end="")
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
