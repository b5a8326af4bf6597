"""Helpers for test_replication: the two suppliers of testbed/repl-start, their
broker (a testbed/broker-start node of their own) and the event queue, read
with every message's headers."""
import json
import os
import shutil
import subprocess
import time
import uuid
from pathlib import Path

import ldap
import pika

import contract
from e2e_support import container, plugin_path

REPO = Path(__file__).resolve().parents[2]
RUN = os.environ.get("DIRMIRROR_REPL_RUN", "/tmp/dm-repl")
AMQP_PORT = int(os.environ.get("DIRMIRROR_REPL_AMQP_PORT", "5690"))
BROKER_NODE = os.environ.get("DIRMIRROR_REPL_BROKER_NODE", "rabbit5@localhost")
DM_DN = "cn=Directory Manager"
DM_PASSWORD = os.environ.get("DIRMIRROR_DM_PASSWORD", "dirmirror-admin")
SETTINGS = Path("/etc/quorvel/dirmirror.env")
QUEUE = "dirmirror.events"
SUFFIX = "dc=lab"
OTHER = "cn=other," + SUFFIX  # outside every container


def script(name, *args, timeout=300):
    env = dict(os.environ, DIRMIRROR_RUN=RUN, DIRMIRROR_AMQP_PORT=str(AMQP_PORT),
               DIRMIRROR_BROKER_NODE=BROKER_NODE, DIRMIRROR_DS_KEEP_ENV="1")
    r = subprocess.run([str(REPO / "testbed" / name), *args], capture_output=True, text=True,
                       env=env, timeout=timeout, stdin=subprocess.DEVNULL)
    if r.returncode != 0:
        raise RuntimeError("testbed/%s failed (%d):\n%s%s" % (name, r.returncode, r.stdout, r.stderr))
    return r.stdout


def start_suppliers(extra_settings):
    """Writes the plug-in's settings (broker AMQP_PORT plus `extra_settings`) and
    restarts both suppliers with the plug-in; returns once they replicate."""
    tmp = SETTINGS.with_name(".dirmirror.env.repl-test")
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write("RABBIT_HOST=127.0.0.1\nRABBIT_PORT=%d\nRABBIT_VHOST=/\nRABBIT_EXCHANGE=dirmirror\n"
                "RABBIT_ROUTINGKEY=ldap.changes\nRABBIT_USERNAME=guest\nRABBIT_PASSWORD=guest\n%s"
                % (AMQP_PORT, extra_settings))
    shutil.chown(tmp, "dirsrv", "dirsrv")
    os.replace(tmp, SETTINGS)
    script("repl-start", plugin_path())


class Supplier:
    def __init__(self, name, port, replica_id):
        self.name, self.uri = name, "ldap://127.0.0.1:%d" % port
        self.replica_id = replica_id
        self.errors = Path("/var/log/dirsrv/slapd-%s/errors" % name)
        self.conn = None
        self.origin = None

    def connect(self):
        self.conn = ldap.initialize(self.uri)
        for option in (ldap.OPT_NETWORK_TIMEOUT, ldap.OPT_TIMEOUT):
            self.conn.set_option(option, 10)
        self.conn.simple_bind_s(DM_DN, DM_PASSWORD)
        # What the plug-in names as the origin: host and port of its configuration.
        [(_, cfg)] = self.conn.search_s("cn=config", ldap.SCOPE_BASE,
                                        attrlist=["nsslapd-localhost", "nsslapd-port"])
        self.origin = "%s:%s" % (cfg["nsslapd-localhost"][0].decode(), cfg["nsslapd-port"][0].decode())

    def close(self):
        if self.conn is not None:
            self.conn.unbind_s()
            self.conn = None

    def read(self, dn, attrs=("*", "nsUniqueId")):
        """The entry's attributes, or None when it does not exist."""
        try:
            [(_, entry)] = self.conn.search_s(dn, ldap.SCOPE_BASE, attrlist=list(attrs))
        except ldap.NO_SUCH_OBJECT:
            return None
        return entry

    def replicating(self, on):
        """Turns this supplier's agreement to its peer on or off."""
        dn = 'cn=to-%s,cn=replica,cn="%s",cn=mapping tree,cn=config' % (self.peer.name, SUFFIX)
        self.conn.modify_s(dn, [(ldap.MOD_REPLACE, "nsds5ReplicaEnabled", [b"on" if on else b"off"])])

    def wait_until(self, what, test, timeout=20.0):
        deadline = time.monotonic() + timeout
        while not test():
            if time.monotonic() > deadline:
                raise AssertionError("%s: not on %s after %.0fs" % (what, self.name, timeout))
            time.sleep(0.05)

    def __repr__(self):
        return self.name


SUPPLIERS = [Supplier("dmsup1", 3391, 1), Supplier("dmsup2", 3392, 2)]
SUPPLIERS[0].peer, SUPPLIERS[1].peer = SUPPLIERS[1], SUPPLIERS[0]


class Message:
    def __init__(self, body, properties):
        contract.check(body, properties)  # raises AssertionError for one that breaks it
        self.body = body
        self.headers = properties.headers or {}
        self.message_id = properties.message_id

    @property
    def origin(self):
        return self.headers.get("origin")

    def event(self):
        return json.loads(self.body.decode("utf-8"))

    def dn(self):
        """The changed entry's DN (the old one for a rename); None for control messages."""
        try:
            ev = self.event()
        except ValueError:
            return None
        inner = ev if "dn" in ev else next(iter(ev.values()), {})
        return inner.get("dn") if isinstance(inner, dict) else None

    def __repr__(self):
        return "Message(%r, %r)" % (self.body, self.headers)


class Queue:
    MARK = "cn=mark-"

    def __init__(self):
        params = pika.ConnectionParameters(host="127.0.0.1", port=AMQP_PORT,
                                           credentials=pika.PlainCredentials("guest", "guest"))
        self._conn = pika.BlockingConnection(params)
        self._ch = self._conn.channel()
        self._seen = set()  # message_ids: delivery is at least once, a copy keeps its id
        self.copies = 0

    def close(self):
        self._conn.close()

    def settle(self, timeout=20.0):
        """Every message published so far by either supplier, ALIVEs and
        markers left out: adds a marker entry on each and reads until each
        one's own marker event has come (each supplier publishes in commit
        order). A change replicated to a supplier must be visible there first.
        Copies (a message_id seen before) are dropped: delivery is at least
        once."""
        marks = {}
        for s in SUPPLIERS:
            dn = "%s%s,%s" % (self.MARK, uuid.uuid4().hex, container("hostgroups"))
            s.conn.add_s(dn, [("objectClass", [b"top", b"nsContainer"]), ("cn", [dn[3:].split(",")[0].encode()])])
            marks[(dn, s.origin)] = False
        got = []
        deadline = time.monotonic() + timeout
        while not all(marks.values()):
            if time.monotonic() > deadline:
                raise AssertionError("markers not published after %.0fs; got %r" % (timeout, got))
            method, props, body = self._ch.basic_get(QUEUE, auto_ack=True)
            if method is None:
                time.sleep(0.02)
                continue
            m = Message(body, props)
            if m.message_id in self._seen:
                self.copies += 1
                continue
            self._seen.add(m.message_id)
            dn = m.dn() or ""
            if (dn, m.origin) in marks:
                marks[(dn, m.origin)] = True
            elif not dn.startswith(self.MARK) and body != b'{"op_type": "ALIVE"}':
                got.append(m)
        return got
