"""End-to-end: SUBTREE chooses what is published, matched as the directory
matches DNs, and ROUTING=per-subtree lets a queue bind to one subtree and the
control messages.

Run from this folder with Debian's python:
    DIRMIRROR_PLUGIN=... /usr/bin/python3 -m unittest -v test_subtrees
"""
import os
import time
import unittest

import ldap
import pika

from e2e_support import (AMQP_PORT, SETTINGS, Message, broker_start, container, delete_if_present,
                         ds_start, ds_stop, ldap_connect, lines_since, log_mark, write_settings)

EXCHANGE = "dirmirror.subtrees"  # a topic exchange of this test's own
KEY = "ldap.changes"
PEOPLE, GROUPS = "ou=People,dc=lab", "ou=Groups,dc=lab"
ELSEWHERE = "ou=elsewhere,dc=lab"
OU = [("objectClass", [b"top", b"organizationalUnit"])]
PERSON = [("objectClass", [b"top", b"person", b"organizationalPerson", b"inetOrgPerson"]),
          ("cn", [b"x"]), ("sn", [b"x"])]


def settings(*lines):
    return (b"RABBIT_HOST=127.0.0.1\nRABBIT_PORT=%d\nRABBIT_EXCHANGE=%s\nRABBIT_ROUTINGKEY=%s\n"
            b"RABBIT_USERNAME=guest\nRABBIT_PASSWORD=guest\n"
            % (AMQP_PORT, EXCHANGE.encode(), KEY.encode())) + b"".join(l + b"\n" for l in lines)


class Bound:
    """A queue of its own on the test's exchange, bound to `keys`."""

    def __init__(self, *keys):
        self.conn = pika.BlockingConnection(pika.ConnectionParameters(
            host="127.0.0.1", port=AMQP_PORT, credentials=pika.PlainCredentials("guest", "guest")))
        self.ch = self.conn.channel()
        self.ch.exchange_declare(EXCHANGE, exchange_type="topic", durable=True)
        self.name = self.ch.queue_declare("", exclusive=True).method.queue
        for key in keys:
            self.ch.queue_bind(self.name, EXCHANGE, routing_key=key)

    def drain(self, quiet=1.5):
        """(routing key, Message) of whatever arrives until `quiet` seconds pass without any."""
        got, last = [], time.monotonic()
        while time.monotonic() - last < quiet:
            method, props, body = self.ch.basic_get(self.name, auto_ack=True)
            if method is None:
                time.sleep(0.05)
                continue
            got.append((method.routing_key, Message(body, props)))
            last = time.monotonic()
        return got

    def close(self):
        self.conn.close()


def normal(dn):
    return ldap.dn.dn2str(ldap.dn.str2dn(dn)).lower()


def dns_of(got):
    """The DNs of the change events, as the directory compares them."""
    return [normal(m.event()["dn"]) for _, m in got if not m.is_control]


class SubtreeTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        broker_start()
        cls.saved = SETTINGS.read_bytes()
        cls.addClassCleanup(lambda: write_settings(cls.saved))
        cls.addClassCleanup(ds_stop)
        exchange = Bound()  # declares the exchange before the plug-in publishes to it
        cls.addClassCleanup(lambda: (exchange.ch.exchange_delete(EXCHANGE), exchange.close()))
        ds_start()  # with the usual settings, to make the test's entries
        conn = ldap_connect()
        # An entry whose DN holds the text "ou=People,dc=lab" below another suffix's
        # look-alike: ou=People,dc=lab,ou=elsewhere,dc=lab.
        for dn, attrs in [(PEOPLE, OU + [("ou", [b"People"])]), (GROUPS, OU + [("ou", [b"Groups"])]),
                          (ELSEWHERE, OU + [("ou", [b"elsewhere"])]),
                          ("dc=lab," + ELSEWHERE, [("objectClass", [b"top", b"domain"]), ("dc", [b"lab"])]),
                          ("ou=People,dc=lab," + ELSEWHERE, OU + [("ou", [b"People"])])]:
            try:
                conn.add_s(dn, attrs)
            except ldap.ALREADY_EXISTS:
                pass
        cls.writes = [normal(dn) for dn in ("uid=e2e-p,%s" % PEOPLE, "cn=e2e-g,%s" % GROUPS, "uid=e2e-u,%s" % container("users"),
                      "uid=e2e-x,ou=People,dc=lab,%s" % ELSEWHERE)] + ["uid=e2e-q,OU=people, DC=LAB"]
        for dn in cls.writes:
            delete_if_present(conn, dn)

    def start_with(self, *lines):
        write_settings(settings(*lines))
        mark = log_mark()
        ds_start(extra_env={"DIRMIRROR_DS_KEEP_ENV": "1"})
        return ldap_connect(), lines_since(mark)

    def write_all(self, conn):
        """Adds and deletes each of the writes; the DNs published, in order."""
        for dn in self.writes:
            conn.add_s(dn, PERSON + [("uid" if dn.startswith("uid") else "cn",
                                      [dn.split(",")[0].split("=")[1].encode()])])
            conn.delete_s(dn)

    def test_subtrees_are_matched_as_the_directory_matches_dns(self):
        everything = Bound(KEY)
        self.addCleanup(everything.close)
        conn, _ = self.start_with(b"SUBTREE=" + PEOPLE.encode(), b"SUBTREE=" + GROUPS.encode())
        everything.drain()
        self.write_all(conn)
        got = everything.drain()
        self.assertEqual(dns_of(got), [self.writes[0]] * 2 + [self.writes[1]] * 2
                         + [normal(self.writes[4])] * 2)
        self.assertEqual({key for key, _ in got}, {KEY})

    def test_a_queue_bound_to_one_subtree_gets_it_and_the_control_messages(self):
        people, others = Bound(KEY + ".people", KEY + ".control"), Bound(KEY + ".groups")
        self.addCleanup(people.close)
        self.addCleanup(others.close)
        conn, _ = self.start_with(b"SUBTREE=" + PEOPLE.encode(), b"SUBTREE=" + GROUPS.encode(),
                                  b"ROUTING=per-subtree")
        started = people.drain()
        self.assertEqual([(key, m.body) for key, m in started][:1],
                         [(KEY + ".control", b'{"op_type": "FULLSYNC"}')])
        self.write_all(conn)
        # A move from People to Groups: once, under people, copied to the groups queue.
        moved = "uid=e2e-m,%s" % PEOPLE
        delete_if_present(conn, "uid=e2e-m,%s" % GROUPS)
        conn.add_s(moved, PERSON + [("uid", [b"e2e-m"])])
        conn.rename_s(moved, "uid=e2e-m", GROUPS)
        conn.delete_s("uid=e2e-m,%s" % GROUPS)
        got, other = people.drain(), others.drain()
        self.assertEqual(dns_of(got), [self.writes[0]] * 2 + [normal(self.writes[4])] * 2
                         + [normal(moved)] * 2)
        self.assertEqual({key for key, m in got if not m.is_control}, {KEY + ".people"})
        self.assertEqual(dns_of(other), [self.writes[1]] * 2 + [normal(moved), normal("uid=e2e-m," + GROUPS)])
        [rename] = [m for _, m in other if m.event()["op_type"] == "modrdn"]
        [same] = [m for _, m in got if not m.is_control and m.event()["op_type"] == "modrdn"]
        self.assertEqual((rename.message_id, rename.seq), (same.message_id, same.seq))

    def test_a_base_without_an_entry_is_worth_a_warning_and_a_bad_one_stops_the_start(self):
        _, lines = self.start_with(b"SUBTREE=ou=Nowhere,dc=lab")
        self.assertIn('SUBTREE: записи "ou=Nowhere,dc=lab" нет: изменений под ней не будет, пока её не создадут',
                      [l.text for l in lines])
        write_settings(settings(b"SUBTREE=Nowhere"))
        mark = log_mark()
        with self.assertRaises(RuntimeError):
            ds_start(extra_env={"DIRMIRROR_DS_KEEP_ENV": "1"})
        self.assertIn('SUBTREE: "Nowhere" не DN (строка 7)', [l.text for l in lines_since(mark)])


if __name__ == "__main__":
    unittest.main()
