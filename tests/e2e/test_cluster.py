"""Fail-over between the nodes of a RabbitMQ cluster: the plug-in, given the
three nodes of testbed/cluster-start in RABBIT_HOST, keeps publishing when the
node it is connected to is killed, and publishes again on the next node what
the lost one did not confirm: nothing is lost, and no FULLSYNC is needed.

Run from this folder with Debian's python (python3-ldap, python3-pika):
    DIRMIRROR_PLUGIN=/path/libdirmirror-plugin.so /usr/bin/python3 -m unittest -v test_cluster
Starts the cluster and the directory server itself; leaves both stopped and the
settings file as it found it."""
import json
import os
import threading
import time
import unittest

import ldap
import pika

from cluster_support import NODES, cluster_start, cluster_stop, connected_nodes
from e2e_support import (SETTINGS, Message, container, ds_start, ds_stop, ldap_connect,
                         write_settings)

QUEUE = "dirmirror.events"
WRITE_EVERY = 0.05   # seconds between writes
WRITING = 40.0       # seconds of writes
KILL_AFTER = 10.0    # seconds into the writes
ANSWER_WITHIN = 2.0  # every write's result
RESUME_WITHIN = 15.0  # kill to the first event of a write made after it
# A client's one-value modify gives its own event and the server's
# modifiersName and modifyTimestamp, numbered 0, 1, 2.
MODIFY_EVENTS = 3


def expected_events(writes):
    """(event key, when its write was sent) in commit order: one writer, each
    write sent after the last result."""
    out = []
    for dn, kind, sent, _ in writes:
        for n in range(MODIFY_EVENTS) if kind == "modify" else (None,):
            out.append(((dn, kind, n), sent))
    return out


def event_key(body):
    ev = json.loads(body.decode("utf-8"))
    if "op_type" not in ev:  # a modify: {"N": {...}}
        [(n, ev)] = ev.items()
        return (ev["dn"].lower(), ev["op_type"], int(n))
    return (ev["dn"].lower(), ev["op_type"], None)


class Consumer(threading.Thread):
    """Reads the queue on one node from start to stop; keeps every message."""

    def __init__(self, node):
        super().__init__(daemon=True)
        self.node, self.messages, self.error = node, [], None
        self._stop_now, self._ready = threading.Event(), threading.Event()

    def run(self):
        try:
            conn = pika.BlockingConnection(pika.ConnectionParameters(
                host="127.0.0.1", port=self.node.port, heartbeat=10,
                credentials=pika.PlainCredentials("guest", "guest")))
            ch = conn.channel()
            ch.queue_purge(QUEUE)  # the start-up FULLSYNC and older messages
            ch.basic_consume(QUEUE, lambda _ch, _m, props, body: self.messages.append(
                Message(body, props)), auto_ack=True)
            self._ready.set()
            while not self._stop_now.is_set():
                conn.process_data_events(time_limit=0.1)
            conn.close()
        except Exception as e:  # reported by the test
            self.error = e
            self._ready.set()

    def start_reading(self):
        self.start()
        if not self._ready.wait(20) or self.error:
            raise RuntimeError("consumer on %s did not start: %r" % (self.node, self.error))

    def stop(self):
        self._stop_now.set()
        self.join(10)


class Writer(threading.Thread):
    """One client adds, modifies and deletes entries below cn=users, one write
    every WRITE_EVERY seconds, each after the last result."""

    def __init__(self, prefix, seconds):
        super().__init__(daemon=True)
        self.prefix, self.seconds = prefix, seconds
        self.done = []  # (dn, kind, sent, took) of each write that succeeded
        self.error = None

    def run(self):
        n = k = 0
        try:
            conn = ldap_connect(timeout=5.0)
            start = time.monotonic()
            while time.monotonic() - start < self.seconds:
                dn = "cn=%s-%d,%s" % (self.prefix, n, container("users"))
                for kind, call in (
                        ("add", lambda: conn.add_s(dn, [("objectClass", [b"top", b"nsContainer",
                                                                         b"extensibleObject"]),
                                                        ("cn", [dn[3:dn.index(",")].encode()])])),
                        ("modify", lambda: conn.modify_s(
                            dn, [(ldap.MOD_REPLACE, "description", [b"write %d" % k])])),
                        ("delete", lambda: conn.delete_s(dn))):
                    time.sleep(max(0.0, start + k * WRITE_EVERY - time.monotonic()))
                    sent = time.monotonic()
                    call()
                    self.done.append((dn.lower(), kind, sent, time.monotonic() - sent))
                    k += 1
                n += 1
            conn.unbind_s()
        except ldap.LDAPError as e:
            self.error = e


class FailoverTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.old_settings = SETTINGS.read_bytes() if SETTINGS.exists() else None
        cls.addClassCleanup(cls.restore_settings)
        cls.addClassCleanup(cluster_stop)
        cluster_stop()  # a fresh cluster: the queue's leader on the first node
        cluster_start()
        hosts = ",".join("127.0.0.1:%d" % n.port for n in NODES)
        write_settings(("RABBIT_HOST=%s\nRABBIT_PORT=%d\nRABBIT_VHOST=/\nRABBIT_EXCHANGE=dirmirror\n"
                        "RABBIT_ROUTINGKEY=ldap.changes\nRABBIT_USERNAME=guest\n"
                        "RABBIT_PASSWORD=guest\n" % (hosts, NODES[0].port)).encode())
        cls.addClassCleanup(ds_stop)
        cls.ds_pid = ds_start(extra_env={"DIRMIRROR_DS_KEEP_ENV": "1"})

    @classmethod
    def restore_settings(cls):
        if cls.old_settings is not None:
            write_settings(cls.old_settings)
        else:
            SETTINGS.unlink(missing_ok=True)

    def plugin_node(self):
        nodes = connected_nodes(self.ds_pid)
        self.assertEqual(len(nodes), 1, "the server's connections to the cluster: %r" % nodes)
        return nodes[0]

    def test_node_killed_under_writes(self):
        victim = self.plugin_node()
        self.assertIs(victim, NODES[0], "not connected to the first node listed")
        consumer = Consumer([n for n in NODES if n is not victim][-1])
        consumer.start_reading()
        self.addCleanup(consumer.stop)

        writer = Writer("failover-%d" % os.getpid(), WRITING)
        writer.start()
        time.sleep(KILL_AFTER)
        self.assertIs(self.plugin_node(), victim)
        killed = victim.kill()
        writer.join(WRITING + 30)
        self.assertFalse(writer.is_alive(), "writer still busy")
        moved_to = self.plugin_node()

        # Whatever is still on its way: until nothing has come for 3 s.
        deadline = time.monotonic() + 30
        seen = -1
        while len(consumer.messages) != seen and time.monotonic() < deadline:
            seen = len(consumer.messages)
            time.sleep(3)
        consumer.stop()
        self.assertIsNone(consumer.error, "consumer on %s failed" % consumer.node)

        # The directory answered every write, in time.
        self.assertIsNone(writer.error, "a write failed after %d writes" % len(writer.done))
        slow = [(dn, kind, round(took, 2)) for dn, kind, _, took in writer.done if took >= ANSWER_WITHIN]
        self.assertEqual(slow, [])
        self.assertNotEqual(moved_to, victim)

        received = [m for m in consumer.messages if not m.is_alive]
        firsts = {}  # message_id: its first arrival; a replay may bring copies
        for m in received:
            self.assertEqual(m.body, firsts.setdefault(m.message_id, m).body, "a copy differs")
        unique = list(firsts.values())
        events = [event_key(m.body) for m in unique if not m.is_fullsync]
        sent = dict(expected_events(writer.done))
        expected = list(sent)
        first = next((m.at for m in unique if not m.is_fullsync and sent.get(event_key(m.body), 0) > killed),
                     None)
        summary = ("%d writes (%d after the kill), %d events expected, %d received, %d copies, "
                   "%d FULLSYNC; killed %s, moved to %s; first event of a later write %s after the kill"
                   % (len(writer.done), sum(w[2] > killed for w in writer.done), len(expected),
                      len(events), len(received) - len(unique), sum(m.is_fullsync for m in unique),
                      victim, moved_to, "%.2fs" % (first - killed) if first else "never"))
        print("\n" + summary)
        # Every event, once, in commit order, and no FULLSYNC.
        self.assertEqual(events, expected, summary)
        self.assertFalse(any(m.is_fullsync for m in unique), summary)

        # Publishing resumed on another node: the first event of a write sent
        # after the kill came within RESUME_WITHIN seconds of it.
        self.assertIsNotNone(first, summary)
        self.assertLess(first - killed, RESUME_WITHIN, summary)


if __name__ == "__main__":
    unittest.main()
