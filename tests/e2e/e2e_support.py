"""Helpers for the end-to-end tests: the repo's start/stop scripts (testbed/)
and tools (scripts/), the event
queue (read with pika), LDAP connections and the server's errors log."""
import datetime
import json
import os
import re
import shutil
import socket
import subprocess
import threading
import time
from pathlib import Path

import ldap
import ldap.dn
import pika
import pika.exceptions

import contract

REPO = Path(__file__).resolve().parents[2]

LDAP_URI = "ldap://127.0.0.1:%s" % os.environ.get("DIRMIRROR_LDAP_PORT", "3389")
DM_DN = "cn=Directory Manager"
DM_PASSWORD = os.environ.get("DIRMIRROR_DM_PASSWORD", "dirmirror-admin")
AMQP_PORT = int(os.environ.get("DIRMIRROR_AMQP_PORT", "5672"))
QUEUE = "dirmirror.events"
ERRORS_LOG = Path("/var/log/dirsrv/slapd-dirmirror/errors")
SETTINGS = Path("/etc/quorvel/dirmirror.env")

FULLSYNC = b'{"op_type": "FULLSYNC"}'
ALIVE = b'{"op_type": "ALIVE"}'

SUFFIX = "dc=lab"
CONTAINERS = ("users", "computers", "orgunits", "groups", "hostgroups")


def container(name):
    return "cn=%s,cn=accounts,%s" % (name, SUFFIX)


def plugin_path():
    path = os.environ.get("DIRMIRROR_PLUGIN") or str(REPO / "build" / "libdirmirror-plugin.so")
    if not os.path.isfile(path):
        raise RuntimeError("plug-in library not found: %s (set DIRMIRROR_PLUGIN)" % path)
    return os.path.abspath(path)


# --- the repo's scripts --------------------------------------------------

def run_script(path, *args, extra_env=None, timeout=180):
    """Runs a script named by its path in the repo: "testbed/ds-start" (the
    servers the tests use) or "scripts/package" (the product's tools)."""
    env = dict(os.environ)
    env.update(extra_env or {})
    r = subprocess.run([str(REPO / path), *args], capture_output=True, text=True,
                       env=env, timeout=timeout, stdin=subprocess.DEVNULL)
    if r.returncode != 0:
        raise RuntimeError("%s %s failed (%d):\n%s%s"
                           % (path, " ".join(args), r.returncode, r.stdout, r.stderr))
    return r.stdout.strip()


def broker_start(extra_env=None):
    return int(run_script("testbed/broker-start", extra_env=extra_env))


def broker_stop():
    run_script("testbed/broker-stop")


def ds_start(nowait=False, extra_env=None):
    """Restarts the server with the plug-in; returns the pid it prints."""
    args = [plugin_path()] + (["--nowait"] if nowait else [])
    return int(run_script("testbed/ds-start", *args, extra_env=extra_env))


def ds_stop():
    run_script("testbed/ds-stop")


def write_settings(data):
    """Replaces the plug-in's settings file: mode 0600, owned by the server's user."""
    tmp = SETTINGS.with_name(".dirmirror.env.e2e")
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(data)
    os.chmod(tmp, 0o600)
    shutil.chown(tmp, "dirsrv", "dirsrv")
    os.replace(tmp, SETTINGS)


def rabbitmqctl(*args, timeout=60):
    """rabbitmqctl against the node of testbed/broker-start, with its settings."""
    base = Path(os.environ.get("DIRMIRROR_RUN", "/tmp/dirmirror-run")) / "rabbitmq"
    node = os.environ.get("DIRMIRROR_BROKER_NODE", "rabbit@localhost")
    env = dict(os.environ, HOME=str(base / "home"), RABBITMQ_NODENAME=node,
               RABBITMQ_CONF_ENV_FILE=str(base / "rabbitmq-env.conf"),
               ERL_EPMD_ADDRESS="127.0.0.1",
               RABBITMQ_CTL_ERL_ARGS="-kernel inet_dist_use_interface {127,0,0,1}")
    r = subprocess.run(["/usr/lib/rabbitmq/bin/rabbitmqctl", "-n", node, *args],
                       capture_output=True, text=True, env=env, timeout=timeout,
                       stdin=subprocess.DEVNULL)
    if r.returncode != 0:
        raise RuntimeError("rabbitmqctl %s failed (%d):\n%s%s"
                           % (" ".join(args), r.returncode, r.stdout, r.stderr))
    return r.stdout


def process_alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return False
    return state not in ("Z", "X")


# --- LDAP ------------------------------------------------------------------

def ldap_connect(timeout=5.0):
    """A bound connection whose every call gives up after `timeout` seconds."""
    conn = ldap.initialize(LDAP_URI)
    conn.set_option(ldap.OPT_NETWORK_TIMEOUT, timeout)
    conn.set_option(ldap.OPT_TIMEOUT, timeout)
    conn.timeout = timeout
    conn.simple_bind_s(DM_DN, DM_PASSWORD)
    return conn


def search_answers(timeout):
    """True if a fresh connection gets an answer to a root DSE search in time."""
    try:
        c = ldap_connect(timeout=timeout)
        c.search_s("", ldap.SCOPE_BASE)
        c.unbind_s()
        return True
    except ldap.LDAPError:
        return False


MONITOR_DN = "cn=dirmirror,cn=monitor"


def monitor_entry(conn):
    """The plug-in's monitor entry as a base search returns it: {type: text},
    types as the plug-in names them (the server hands them out in lower case)."""
    [(_, attrs)] = conn.search_s(MONITOR_DN, ldap.SCOPE_BASE)
    return {k.lower(): v[0].decode() for k, v in attrs.items()}


def delete_if_present(conn, dn):
    try:
        conn.delete_s(dn)
    except ldap.NO_SUCH_OBJECT:
        pass


def same_dn(a, b):
    """DN equality the way the server sees it: escapes and letter case aside."""
    def norm(dn):
        return [[(t.lower(), v.lower()) for t, v, _ in rdn] for rdn in ldap.dn.str2dn(dn)]
    return norm(a) == norm(b)


# --- messages ----------------------------------------------------------------

def _no_duplicate_keys(pairs):
    keys = [k for k, _ in pairs]
    if len(keys) != len(set(keys)):
        raise ValueError("duplicate keys %r" % keys)
    return dict(pairs)


class Message:
    """A message read from the broker. One that breaks the contract
    (docs/asyncapi.yaml) raises AssertionError here, whichever test reads it;
    testbed/bench leaves the check out, its consumer sharing the cores with
    the load it measures."""

    def __init__(self, body, properties, check_contract=True):
        if check_contract:
            contract.check(body, properties)
        self.body = body
        self.content_type = properties.content_type
        self.delivery_mode = properties.delivery_mode
        self.message_id = properties.message_id
        self.timestamp = properties.timestamp
        self.headers = properties.headers or {}
        self.seq = self.headers.get("seq")
        self.at = time.monotonic()

    @property
    def is_alive(self):
        return self.body == ALIVE

    @property
    def is_fullsync(self):
        return self.body == FULLSYNC

    @property
    def is_control(self):
        return self.is_alive or self.is_fullsync

    def event(self):
        """The parsed event: one line of strict UTF-8 JSON ending with one line feed."""
        if not self.body.endswith(b"\n") or self.body.count(b"\n") != 1:
            raise AssertionError("event is not one line ending with a line feed: %r" % self.body)
        return json.loads(self.body.decode("utf-8"), object_pairs_hook=_no_duplicate_keys)

    def __repr__(self):
        return "Message(%r)" % self.body


class Queue:
    """The event queue, read with basic_get; reconnects after a broker restart."""

    def __init__(self):
        self._conn = None
        self._channel = None

    def _ch(self):
        if self._channel is None or not self._channel.is_open:
            self.close()
            params = pika.ConnectionParameters(
                host="127.0.0.1", port=AMQP_PORT,
                credentials=pika.PlainCredentials("guest", "guest"),
                socket_timeout=5, blocked_connection_timeout=10)
            self._conn = pika.BlockingConnection(params)
            self._channel = self._conn.channel()
        return self._channel

    def close(self):
        if self._conn is not None:
            try:
                self._conn.close()
            except Exception:
                pass
        self._conn = self._channel = None

    def purge(self, settle=0.3):
        """Empties the queue, again after `settle` seconds: the server answers
        before its post-operation calls, so the events of a write that just
        returned may still be on their way."""
        self._ch().queue_purge(QUEUE)
        if settle:
            time.sleep(settle)
            self._ch().queue_purge(QUEUE)

    def get(self):
        """One message or None; None too while the broker cannot be reached."""
        try:
            method, props, body = self._ch().basic_get(QUEUE, auto_ack=True)
        except (pika.exceptions.AMQPError, OSError):
            self.close()
            return None
        return None if method is None else Message(body, props)

    def until(self, done, timeout, skip_alive=True):
        """Messages read until done(list) is true; fails after `timeout` seconds."""
        got = []
        deadline = time.monotonic() + timeout
        while not done(got):
            if time.monotonic() > deadline:
                raise AssertionError("after %.1fs got only %r" % (timeout, got))
            m = self.get()
            if m is None:
                time.sleep(0.05)
            elif not (skip_alive and m.is_alive):
                got.append(m)
        return got

    def count(self):
        """Messages waiting in the queue."""
        return self._ch().queue_declare(QUEUE, passive=True).method.message_count

    def consume_all(self, quiet=3.0, prefetch=2000):
        """Every message until none has come for `quiet` seconds, ALIVEs
        included; faster than get() for many."""
        ch = self._ch()
        ch.basic_qos(prefetch_count=prefetch)
        got = []
        for method, props, body in ch.consume(QUEUE, auto_ack=True, inactivity_timeout=quiet):
            if method is None:
                break
            got.append(Message(body, props))
        ch.cancel()
        return got

    def take(self, count, timeout=5.0, skip_alive=True):
        return self.until(lambda got: len(got) >= count, timeout, skip_alive)

    def drain(self, quiet=1.0, skip_alive=True):
        """Whatever arrives until nothing has come for `quiet` seconds."""
        got = []
        last = time.monotonic()
        while time.monotonic() - last < quiet:
            m = self.get()
            if m is None:
                time.sleep(0.05)
                continue
            last = time.monotonic()
            if not (skip_alive and m.is_alive):
                got.append(m)
        return got


# --- errors log ----------------------------------------------------------------

_LOG_LINE = re.compile(r"^\[(\d\d/\w{3}/\d{4}:\d\d:\d\d:\d\d)\.(\d+) ([+-]\d{4})\] - (\w+) - (\S+) - (.*)$")


class LogLine:
    def __init__(self, when, level, subsystem, text):
        self.when, self.level, self.subsystem, self.text = when, level, subsystem, text

    def __repr__(self):
        return "[%.3f] %s - %s - %s" % (self.when, self.level, self.subsystem, self.text)


def log_mark():
    """Where the errors log ends now; lines_since() reads what comes after."""
    try:
        return ERRORS_LOG.stat().st_size
    except FileNotFoundError:
        return 0


def lines_since(mark):
    with open(ERRORS_LOG, "rb") as f:
        f.seek(mark)
        data = f.read()
    out = []
    for raw in data.decode("utf-8", "replace").splitlines():
        m = _LOG_LINE.match(raw)
        if not m:
            continue
        stamp, frac, zone, level, subsystem, text = m.groups()
        when = datetime.datetime.strptime(stamp + " " + zone, "%d/%b/%Y:%H:%M:%S %z").timestamp()
        out.append(LogLine(when + float("0." + frac), level, subsystem, text))
    return out


def send_failures(lines):
    return [l for l in lines if l.subsystem == "send_message"]


def backoff_faults(times, window):
    """What is wrong with connection attempts at `times` over `window` seconds,
    as the publisher should make them: again at once after the first, then at
    pauses growing to 5 s, never busier, never quieter. [] when nothing is."""
    times = sorted(times)
    gaps = [b - a for a, b in zip(times, times[1:])]
    faults = []
    if len(times) < 5:
        faults.append("%d attempts, expected at least 5" % len(times))
    elif gaps[0] > 0.5:
        faults.append("the first retry came after %.2f s" % gaps[0])
    if any(g > 5.7 for g in gaps):
        faults.append("a pause longer than 5 s: %s" % [round(g, 2) for g in gaps])
    if len(times) > 8 + window / 5:
        faults.append("%d attempts in %.0f s: not backing off" % (len(times), window))
    return faults


# --- a broker in between -------------------------------------------------------

class HangUpProxy:
    """Listens on 127.0.0.1 (a free port); closes every connection at once
    until `forwarding` is set, then relays connections to the broker."""

    def __init__(self):
        self.forwarding = False
        self.hung_up = self.forwarded = 0
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self._open = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self._listener.accept()
            except OSError:  # closed
                return
            if not self.forwarding:
                self.hung_up += 1
                client.close()
                continue
            try:
                broker = socket.create_connection(("127.0.0.1", AMQP_PORT), timeout=5)
            except OSError:
                client.close()
                continue
            broker.settimeout(None)
            self.forwarded += 1
            self._open += [client, broker]
            for src, dst in ((client, broker), (broker, client)):
                threading.Thread(target=self._pump, args=(src, dst), daemon=True).start()

    @staticmethod
    def _pump(src, dst):
        try:
            while data := src.recv(65536):
                dst.sendall(data)
        except OSError:
            pass
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close(self):
        self._listener.shutdown(socket.SHUT_RDWR)  # wakes accept()
        self._listener.close()
        for s in self._open:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()
