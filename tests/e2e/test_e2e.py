"""End-to-end tests: the plug-in inside a real 389 Directory Server, driven over
LDAP, with its events read from a real RabbitMQ queue.

Run from this folder with Debian's python (python3-ldap, python3-pika):
    DIRMIRROR_PLUGIN=/path/libdirmirror-plugin.so /usr/bin/python3 -m unittest -v test_e2e
Each class leaves the broker running (the unit tests need it) and the server
stopped."""
import json
import os
import signal
import time
import unittest
from pathlib import Path

import ldap

from change_order import MODIFY_EVENTS, Op, check, run_writers, summary, write_entries
from e2e_support import (ALIVE, FULLSYNC, AMQP_PORT, MONITOR_DN, SETTINGS, HangUpProxy, Queue,
                         broker_start, broker_stop, container, delete_if_present, ds_start, ds_stop,
                         backoff_faults, ldap_connect, lines_since, log_mark, monitor_entry,
                         process_alive,
                         rabbitmqctl, same_dn, search_answers, send_failures, write_settings)

OP_NAMES = {ldap.MOD_ADD: "ADD", ldap.MOD_DELETE: "DELETE", ldap.MOD_REPLACE: "REPLACE"}
SERVER_ADDED = {"creatorsname", "modifiersname", "createtimestamp", "modifytimestamp", "nsuniqueid"}
PERSON = [b"top", b"person", b"organizationalPerson", b"inetOrgPerson"]
STARTUP_LINE = "Инициализациия плагина"
SECRETS_NOTE = "Значения атрибутов-секретов не публикуются"
SOCKET_FAILURE = 'amqp_socket_open(socket, "127.0.0.1", %d) :: Не удалось открыть TCP сокет' % AMQP_PORT


def jtext(value):
    """A JSON string as the events write it: compact, UTF-8, not ASCII-escaped."""
    if isinstance(value, bytes):
        value = value.decode("utf-8", "replace")
    return json.dumps(value, ensure_ascii=False).encode()


def compact(event):
    return json.dumps(event, ensure_ascii=False, separators=(",", ":")).encode() + b"\n"


def modify_text(n, dn, op, attr_type, values, bare=()):
    """Expected text of the n-th modification; values in `bare` go in unquoted."""
    parts = []
    for v in values or []:
        written_bare = v in bare
        parts.append(v.replace(b"\n", b" ").replace(b"\r", b" ") if written_bare else jtext(v))
    return (b'{"%d":{"dn":%s,"op_type":"modify","op":"%s","arg":{%s:[%s]}}}\n'
            % (n, jtext(dn), OP_NAMES[op].encode(), jtext(attr_type), b",".join(parts)))


def delete_text(dn):
    return b'{"dn":%s,"op_type":"delete"}\n' % jtext(dn)


class ServerFixture(unittest.TestCase):
    """Broker and server with the plug-in running; the queue purged before each test."""

    @classmethod
    def setUpClass(cls):
        broker_start()
        ds_start()
        cls.queue = Queue()
        cls.ldap = ldap_connect()

    @classmethod
    def tearDownClass(cls):
        cls.queue.close()
        try:
            cls.ldap.unbind_s()
        except ldap.LDAPError:
            pass
        ds_stop()
        broker_start()

    def setUp(self):
        self.queue.purge()

    # --- one operation and the events it must give ----------------------

    def add_and_check(self, dn, attrs):
        """Adds the entry; checks its one add event; returns the DN as published."""
        self.ldap.add_s(dn, attrs)
        [m] = self.queue.take(1)
        ev = m.event()
        self.assertEqual(list(ev), ["dn", "op_type", "arg"], m.body)
        self.assertTrue(same_dn(ev["dn"], dn), (ev["dn"], dn))
        self.assertEqual(ev["op_type"], "add")
        arg = list(ev["arg"].items())
        # The client's attributes first, in its order, with its values.
        self.assertEqual(arg[:len(attrs)],
                         [(t, [v.decode("utf-8", "replace") for v in vals]) for t, vals in attrs])
        added = {k.lower(): v for k, v in arg[len(attrs):]}
        self.assertLessEqual(SERVER_ADDED, set(added), m.body)
        self.assertEqual(added["creatorsname"], ["cn=directory manager"])
        self.assertEqual(m.body, compact(ev))  # no blanks, one line feed, nothing else
        return ev["dn"]

    def modify_and_check(self, dn, published_dn, mods, bare=()):
        """The client's modifications give these exact texts, numbered from 0; the
        server's own ones follow, numbered on."""
        self.ldap.modify_s(dn, mods)
        got = self.queue.take(len(mods))
        got += self.queue.drain(quiet=0.8)
        for n, (m, (op, attr_type, values)) in enumerate(zip(got, mods)):
            with self.subTest(modification=n):
                self.assertEqual(m.body, modify_text(n, published_dn, op, attr_type, values, bare))
                m.event()  # parses
        self.assertGreater(len(got), len(mods), "no server modifications (modifiersName, ...)")
        for n, m in enumerate(got[len(mods):], start=len(mods)):
            ev = m.event()
            self.assertEqual(list(ev), [str(n)], m.body)
            inner = ev[str(n)]
            self.assertEqual(list(inner), ["dn", "op_type", "op", "arg"], m.body)
            self.assertEqual((inner["dn"], inner["op_type"]), (published_dn, "modify"))
            self.assertIn(inner["op"], ("ADD", "DELETE", "REPLACE"))
            self.assertEqual(len(inner["arg"]), 1, m.body)
            self.assertEqual(m.body, compact(ev))
        return got

    def delete_and_check(self, dn, published_dn):
        self.ldap.delete_s(dn)
        [m] = self.queue.take(1)
        self.assertEqual(m.body, delete_text(published_dn))
        self.assertEqual(self.queue.drain(quiet=0.5), [])


class EventsTest(ServerFixture):
    USER = "uid=e2e-fixed,%s" % container("users")
    OUTSIDE = "uid=e2e-outside,ou=people,dc=lab"
    BESIDE = "cn=e2e-beside,cn=accounts,dc=lab"  # below cn=accounts, in no container
    GROUP_MEMBERS = [b"uid=m1,%s" % container("users").encode(), b"uid=m2,%s" % container("users").encode()]

    ROWS = [  # container, dn, attributes, modifications (replace, add, delete)
        ("users", "uid=e2e-user,%s" % container("users"),
         [("objectClass", PERSON), ("uid", [b"e2e-user"]), ("cn", [b"E2E User"]), ("sn", [b"User"]),
          ("description", [b"first"])],
         [(ldap.MOD_REPLACE, "sn", [b"Nutzer"]), (ldap.MOD_ADD, "mail", [b"a@lab", b"b@lab"]),
          (ldap.MOD_DELETE, "description", None)]),
        ("computers", "cn=e2e-host,%s" % container("computers"),
         [("objectClass", [b"top", b"device"]), ("cn", [b"e2e-host"]), ("serialNumber", [b"SN-1"]),
          ("description", [b"rack 1"])],
         [(ldap.MOD_REPLACE, "description", [b"rack 2"]), (ldap.MOD_ADD, "l", [b"Berlin", b"Riga"]),
          (ldap.MOD_DELETE, "serialNumber", None)]),
        ("orgunits", "ou=e2e-unit,%s" % container("orgunits"),
         [("objectClass", [b"top", b"organizationalUnit"]), ("ou", [b"e2e-unit"]),
          ("postalCode", [b"101000"]), ("description", [b"unit"])],
         [(ldap.MOD_REPLACE, "description", ["Отдел".encode()]), (ldap.MOD_ADD, "street", [b"Main 1"]),
          (ldap.MOD_DELETE, "postalCode", None)]),
        ("groups", "cn=e2e-group,%s" % container("groups"),
         [("objectClass", [b"top", b"groupOfNames"]), ("cn", [b"e2e-group"]),
          ("member", GROUP_MEMBERS[:1])],
         # deleting one value of many lists the value it removes
         [(ldap.MOD_REPLACE, "description", [b"g"]), (ldap.MOD_ADD, "member", GROUP_MEMBERS[1:]),
          (ldap.MOD_DELETE, "member", GROUP_MEMBERS[:1])]),
        ("hostgroups", "cn=e2e-hostgroup,%s" % container("hostgroups"),
         [("objectClass", [b"top", b"groupOfUniqueNames"]), ("cn", [b"e2e-hostgroup"]),
          ("businessCategory", [b"web"]), ("ou", [b"ops"])],
         [(ldap.MOD_REPLACE, "businessCategory", [b"db", b"cache"]),
          (ldap.MOD_ADD, "uniqueMember", [b"cn=e2e-host,%s" % container("computers").encode()]),
          (ldap.MOD_DELETE, "ou", None)]),
    ]

    MULTILINE_JSON = '{"a":\n [1, "Ж"],\r\n "b": {"c": null}}'.encode()
    BINARY = b"\x00\xff\xfe\x80ok\xe2\x82x\"\\"
    BINARY2 = b"\x89PNG\r\n\x1a\n\x00\x00\xc0"
    ENCODING_ROWS = [  # what the DN shows, dn
        ("escaped comma", "cn=Smith\\, John,%s" % container("users")),
        ("quote and backslash", 'cn=Say \\"Hi\\" \\\\ there,%s' % container("users")),
        ("non-ASCII, multi-valued RDN", "cn=Пётр+sn=Иванов,%s" % container("users")),
        ("mixed-case container", "cn=e2e-mixed,CN=Users,cn=accounts,dc=lab"),
        ("upper-case container path", "cn=e2e-upper,CN=HOSTGROUPS,CN=ACCOUNTS,dc=lab"),
    ]

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        for dn in ([r[1] for r in cls.ROWS] + [r[1] for r in cls.ENCODING_ROWS]
                   + [cls.USER, cls.OUTSIDE, cls.BESIDE]):
            delete_if_present(cls.ldap, dn)

    def test_add_modify_delete_in_each_container(self):
        for name, dn, attrs, mods in self.ROWS:
            with self.subTest(container=name):
                published = self.add_and_check(dn, attrs)
                self.assertEqual(published, dn)
                self.modify_and_check(dn, published, mods)
                self.delete_and_check(dn, published)

    def test_dn_and_value_encoding(self):
        description = [b'{"a": 1}', b"{PBKDF2-SHA512}abc", "Описание".encode()]
        values = [self.MULTILINE_JSON, b"{}", b"{PBKDF2-SHA512}abc", b'{"a": 1} tail', b"[1, 2]",
                  b'{"a": 1', "Значение".encode()]
        for what, dn in self.ENCODING_ROWS:
            with self.subTest(dn=what):
                rdn = ldap.dn.str2dn(dn)[0]
                cn = next(v for t, v, _ in rdn if t.lower() == "cn").encode()
                sn = [v.encode() for t, v, _ in rdn if t.lower() == "sn"] or [b"Doe"]
                # In an add event every value is a JSON string, JSON-looking or not.
                published = self.add_and_check(dn, [
                    ("objectClass", PERSON), ("cn", [cn]), ("sn", sn),
                    ("description", description), ("jpegPhoto", [self.BINARY])])
                self.assertTrue(same_dn(published, dn))
                # In a modify event a value that starts with "{" and is one whole
                # JSON value goes in bare, line breaks turned into blanks.
                got = self.modify_and_check(dn, published, [
                    (ldap.MOD_REPLACE, "description", values),
                    (ldap.MOD_ADD, "jpegPhoto", [self.BINARY2])],
                    bare={self.MULTILINE_JSON, b"{}"})
                first = got[0].event()["0"]["arg"]["description"]
                self.assertEqual(first[:3], [{"a": [1, "Ж"], "b": {"c": None}}, {},
                                             "{PBKDF2-SHA512}abc"])
                self.assertEqual(got[1].event()["1"]["arg"]["jpegPhoto"],
                                 ["\ufffdPNG\r\n\x1a\n\x00\x00\ufffd"])
                self.delete_and_check(dn, published)

    def test_outside_containers_and_failed_operations_publish_nothing(self):
        self.add_and_check(self.USER, [("objectClass", PERSON), ("uid", [b"e2e-fixed"]),
                                       ("cn", [b"Fixed"]), ("sn", [b"Fixed"])])
        missing = "uid=e2e-missing,%s" % container("users")
        person = [("objectClass", PERSON), ("cn", [b"x"]), ("sn", [b"x"])]
        cases = [  # what, call, expected error (None: succeeds)
            ("add outside", lambda: self.ldap.add_s(self.OUTSIDE, person + [("uid", [b"e2e-outside"])]), None),
            ("modify outside", lambda: self.ldap.modify_s(
                self.OUTSIDE, [(ldap.MOD_REPLACE, "sn", [b"y"])]), None),
            ("delete outside", lambda: self.ldap.delete_s(self.OUTSIDE), None),
            ("add beside", lambda: self.ldap.add_s(
                self.BESIDE, [("objectClass", [b"top", b"nsContainer"]), ("cn", [b"e2e-beside"])]), None),
            ("delete beside", lambda: self.ldap.delete_s(self.BESIDE), None),
            ("add existing", lambda: self.ldap.add_s(self.USER, person + [("uid", [b"e2e-fixed"])]),
             ldap.ALREADY_EXISTS),
            ("add below a missing parent", lambda: self.ldap.add_s("cn=x," + missing, person),
             ldap.NO_SUCH_OBJECT),
            ("add breaking the schema", lambda: self.ldap.add_s(
                missing, [("objectClass", PERSON), ("cn", [b"x"])]), ldap.OBJECT_CLASS_VIOLATION),
            ("modify missing", lambda: self.ldap.modify_s(
                missing, [(ldap.MOD_REPLACE, "sn", [b"y"])]), ldap.NO_SUCH_OBJECT),
            ("modify breaking the schema", lambda: self.ldap.modify_s(
                self.USER, [(ldap.MOD_DELETE, "sn", None)]), ldap.OBJECT_CLASS_VIOLATION),
            ("delete missing", lambda: self.ldap.delete_s(missing), ldap.NO_SUCH_OBJECT),
            ("delete refused", lambda: self.ldap.delete_s(container("users")),
             ldap.NOT_ALLOWED_ON_NONLEAF),
        ]
        for what, call, error in cases:
            with self.subTest(operation=what):
                if error is None:
                    call()
                else:
                    self.assertRaises(error, call)
        # A write in a container after all of them: its event must be the first.
        self.ldap.modify_s(self.USER, [(ldap.MOD_REPLACE, "description", [b"marker"])])
        got = self.queue.take(1)
        self.assertEqual(got[0].body, modify_text(0, self.USER, ldap.MOD_REPLACE, "description",
                                                  [b"marker"]))
        for m in self.queue.drain(quiet=1.0):  # the server's own modifications only
            [(n, inner)] = m.event().items()
            self.assertEqual((inner["dn"], inner["op_type"]), (self.USER, "modify"), m.body)
            self.assertGreater(int(n), 0)
        self.delete_and_check(self.USER, self.USER)


class OrderTest(ServerFixture):
    """Events come in the order the directory committed their operations."""
    maxDiff = None

    def test_one_client_in_order(self):
        ops, wall = [], time.time()
        failed = write_entries(self.ldap, "e2e-order-%d" % wall, ops, entries=50, modifies=2)
        self.assertEqual((failed, len(ops)), (0, 200))
        got = [m for m in self.queue.consume_all() if not m.is_alive]
        # One call after the other: exactly its events, in its order.
        want = []
        for op in ops:
            want += ([(op.dn, "modify", str(n)) for n in range(MODIFY_EVENTS)]
                     if op.kind == "modify" else [(op.dn, op.kind, None)])
        seen = []
        for m in got:
            ev = m.event()
            n, ev = (None, ev) if "op_type" in ev else next(iter(ev.items()))
            seen.append((ev["dn"], ev["op_type"], n))
        self.assertEqual(seen, want)
        # seq one up each time, message ids unique, each modify's value
        figures, faults = check(got, ops, wall=(wall, time.time()))
        self.assertEqual(summary(faults), {})
        self.assertEqual(figures["fullsyncs"], 0)

    def test_eight_writers(self):
        wall = time.time()
        ops, failed = run_writers(ldap_connect, 8, 15, "e2e-writers-%d" % wall)
        self.assertEqual(failed, 0)
        self.assertGreater(len(ops), 8 * 30, "too few writes to tell anything")
        figures, faults = check(self.queue.consume_all(), ops, wall=(wall, time.time()))
        self.assertEqual(summary(faults), {}, figures)
        self.assertEqual(figures["fullsyncs"], 0)


class StartupTest(unittest.TestCase):
    """A (re)start with the broker up: FULLSYNC once, then ALIVE at once and every 30 s."""

    @classmethod
    def setUpClass(cls):
        broker_start()
        ds_stop()
        cls.queue = Queue()

    @classmethod
    def tearDownClass(cls):
        cls.queue.close()
        ds_stop()
        broker_start()

    def test_fullsync_once_then_heartbeat(self):
        self.queue.purge()
        mark = log_mark()
        wall = time.time()
        ds_start()
        first = self.queue.until(lambda g: any(m.is_alive for m in g), timeout=15, skip_alive=False)
        ds_start()  # a restart: message ids must not repeat
        up = time.monotonic()
        got = self.queue.until(lambda g: sum(m.is_alive for m in g) >= 2, timeout=45, skip_alive=False)
        got += self.queue.drain(quiet=0.5, skip_alive=False)
        self.assertEqual([m.body for m in first], [FULLSYNC, ALIVE])
        bodies = [m.body for m in got]
        self.assertEqual(bodies, [FULLSYNC, ALIVE, ALIVE])
        # text/plain, persistent, a timestamp of now, ids unique, no seq on control messages
        _, faults = check(first + got, [], wall=(wall, time.time()))
        self.assertEqual(summary(faults), {}, [(m.body, m.message_id, m.timestamp, m.seq)
                                              for m in first + got])
        self.assertLess(got[1].at - up, 5.0, "first ALIVE late")
        self.assertAlmostEqual(got[2].at - got[1].at, 30.0, delta=2.0)

        lines = lines_since(mark)
        init = [l for l in lines if l.subsystem == "get_entry_rodide_init"
                and not l.text.startswith(SECRETS_NOTE)]
        self.assertEqual([(l.level, l.text) for l in init], [("ERR", STARTUP_LINE)] * 2)
        self.assertEqual(send_failures(lines), [])


class BrokerOutageTest(ServerFixture):
    """Writes while the broker is stopped: the server keeps answering, the
    publisher tries again at once and then at pauses growing to 5 s, and once
    the broker is back every event of the outage arrives, in order, with no
    FULLSYNC."""
    WRITES = 24

    def dn(self, i):
        name = ("users", "computers", "orgunits", "groups", "hostgroups")[i % 5]
        return "cn=e2e-outage-%d,%s" % (i, container(name))

    def monitor_once(self, done, wait=5.0):
        """The monitor entry once done(entry) holds: a confirm may reach the
        plug-in after the consumer got the message."""
        deadline = time.monotonic() + wait
        now = monitor_entry(self.ldap)
        while not done(now) and time.monotonic() < deadline:
            time.sleep(0.1)
            now = monitor_entry(self.ldap)
        return now

    def test_outage(self):
        after = "cn=e2e-outage-%d,%s" % (self.WRITES + 1, container("groups"))
        for dn in [after] + [self.dn(i) for i in range(self.WRITES + 2)]:
            delete_if_present(self.ldap, dn)
        self.queue.purge()
        entry = [("objectClass", [b"top", b"nsContainer"])]
        before = monitor_entry(self.ldap)
        self.add_and_check(self.dn(0), entry + [("cn", [b"e2e-outage-0"])])
        connected = self.monitor_once(
            lambda m: int(m["eventspublished"]) > int(before["eventspublished"]))
        self.assertEqual(int(connected["eventspublished"]), int(before["eventspublished"]) + 1)
        self.assertEqual((connected["brokerconnected"], connected["brokernode"]),
                         ("TRUE", "127.0.0.1:%d" % AMQP_PORT))
        self.assertEqual((connected["queuedepth"], connected["bufferbytes"]), ("0", "0"))
        self.assertEqual(connected["rabbitexchange"], "dirmirror")
        self.assertNotIn("guest", [v for k, v in connected.items() if k != "rabbitusername"])
        with self.assertRaises(ldap.UNWILLING_TO_PERFORM):
            self.ldap.modify_s(MONITOR_DN, [(ldap.MOD_REPLACE, "eventsDropped", [b"0"])])
        self.assertNotIn(b"eventsPublished", Path("/etc/dirsrv/slapd-dirmirror/dse.ldif").read_bytes())

        self.queue.close()
        mark, stopped = log_mark(), time.monotonic()
        broker_stop()
        # Adds, modifies and deletes: every one gets its result at once.
        calls, expected = [], []
        for i in range(1, self.WRITES + 1):
            dn = self.dn(i)
            if i % 3 == 1:
                calls.append(("add", lambda dn=dn, i=i: self.ldap.add_s(
                    dn, [("objectClass", [b"top", b"nsContainer"]), ("cn", [b"e2e-outage-%d" % i])])))
                expected.append((dn, "add"))
            elif i % 3 == 2:
                calls.append(("modify", lambda: self.ldap.modify_s(
                    self.dn(0), [(ldap.MOD_REPLACE, "cn", [b"e2e-outage-0"])])))
                expected += [(self.dn(0), "modify")] * MODIFY_EVENTS
            else:
                calls.append(("delete", lambda dn=self.dn(i - 2): self.ldap.delete_s(dn)))
                expected.append((self.dn(i - 2), "delete"))
        for n, (what, call) in enumerate(calls):
            t = time.monotonic()
            try:
                call()
            except ldap.TIMEOUT:
                self.fail("%s #%d got no answer (server threads held by the plug-in?)" % (what, n))
            self.assertLess(time.monotonic() - t, 2.0, "%s #%d took too long" % (what, n))
        time.sleep(11.5)
        lines = lines_since(mark)

        # One line per attempt to reconnect, however many events wait; before
        # them at most one line on the lost connection.
        failures = send_failures(lines)
        attempts = [l for l in failures if l.text == SOCKET_FAILURE]
        self.assertEqual(failures[len(failures) - len(attempts):], attempts, failures)
        self.assertLessEqual(len(failures) - len(attempts), 1, failures)
        self.assertEqual({l.level for l in failures}, {"ERR"})
        self.assertEqual(backoff_faults([l.when for l in attempts], time.monotonic() - stopped), [])

        # The server still answers.
        t = time.monotonic()
        self.assertTrue(self.ldap.search_s(container("users"), ldap.SCOPE_BASE))
        self.assertLess(time.monotonic() - t, 2.0)

        # The events wait in the buffer: none dropped.
        down = monitor_entry(self.ldap)
        self.assertEqual((down["brokerconnected"], down["brokernode"]), ("FALSE", ""))
        self.assertEqual(down["eventsdropped"], connected["eventsdropped"])
        self.assertGreater(int(down["bufferbytes"]), 0)
        self.assertGreaterEqual(int(down["lagseconds"]), 10)
        self.assertEqual(down["lasterror"], SOCKET_FAILURE)
        self.assertRegex(down["lasterrortime"], r"^\d{14}Z$")

        broker_start()
        back = time.monotonic()
        self.ldap.add_s(after, entry + [("cn", [b"e2e-outage-%d" % (self.WRITES + 1)])])
        expected.append((after, "add"))
        got = self.queue.until(lambda g: len([m for m in g if not m.is_control]) >= len(expected),
                               timeout=15)
        self.assertLess(got[-1].at - back, 10.0)
        got += self.queue.drain(quiet=2.0)
        events = [m.event() for m in got if not m.is_control]
        events = [e if "dn" in e else next(iter(e.values())) for e in events]  # a modify's: {"N": ...}
        self.assertEqual([(e["dn"], e["op_type"]) for e in events], expected)
        self.assertNotIn(FULLSYNC, [m.body for m in got])
        up = self.monitor_once(lambda m: m["bufferbytes"] == "0")
        self.assertEqual((up["brokerconnected"], up["bufferbytes"], up["lagseconds"]), ("TRUE", "0", "0"))
        self.assertEqual(up["fullsyncspublished"], down["fullsyncspublished"])
        self.assertEqual(int(up["eventspublished"]), int(connected["eventspublished"]) + len(expected))

        for dn in (after, self.dn(0)) + tuple(self.dn(i) for i in range(1, self.WRITES + 1)):
            delete_if_present(self.ldap, dn)


class BrokerDownAtStartTest(unittest.TestCase):
    """Server started while the broker is down. By default it serves at once,
    and consumers get the start's FULLSYNC before the changes made meanwhile,
    in order, once the broker is up; with WAIT_FOR_BROKER_AT_START=on its
    start-up waits inside the plug-in, trying again at pauses growing to 5 s,
    and finishes once the broker is up."""

    @classmethod
    def setUpClass(cls):
        broker_start()
        ds_stop()
        cls.queue = Queue()
        cls.queue.purge()
        cls.queue.close()
        broker_stop()

    @classmethod
    def tearDownClass(cls):
        cls.queue.close()
        broker_start()
        ds_stop()

    def test_start_serves_at_once(self):
        self.addCleanup(broker_stop)
        ds_start()  # returns once the server answers
        conn = ldap_connect()
        dns = ["cn=e2e-early-%d,%s" % (i, container("hostgroups")) for i in range(3)]
        for dn in dns:
            delete_if_present(conn, dn)
            conn.add_s(dn, [("objectClass", [b"top", b"nsContainer"]),
                            ("cn", [dn[3:].split(",")[0].encode()])])
        broker_start()
        got = self.queue.until(lambda g: len([m for m in g if not m.is_control]) >= 3, timeout=20)
        self.assertTrue(got[0].is_fullsync, got)
        self.assertEqual([m.event()["dn"] for m in got if not m.is_control], dns)
        for dn in dns:
            conn.delete_s(dn)
        self.queue.purge(settle=1.0)  # the next test reads from an empty queue

    def test_start_waits_for_the_broker_when_asked(self):
        ds_stop()  # nothing of the last server in the log from here
        self.addCleanup(ds_stop)
        self.addCleanup(broker_stop)
        self.addCleanup(broker_start)  # first: a server waiting for it can stop then
        mark = log_mark()
        pid = ds_start(nowait=True, extra_env={"DIRMIRROR_DS_SETTINGS": "WAIT_FOR_BROKER_AT_START=on"})
        started = time.monotonic()
        while time.monotonic() - started < 11.5:
            self.assertTrue(process_alive(pid), "ns-slapd ended: start-up did not wait")
            self.assertFalse(search_answers(timeout=1.0), "answered with the broker down")
            time.sleep(0.5)

        lines = lines_since(mark)
        texts = [(l.subsystem, l.text) for l in lines]
        self.assertIn(("get_entry_rodide_init", STARTUP_LINE), texts)
        failures = send_failures(lines)
        for l in failures:
            self.assertEqual(l.text, SOCKET_FAILURE)
        self.assertEqual(backoff_faults([l.when for l in failures], 11.5), [])

        broker_start()
        back = time.monotonic()
        while not search_answers(timeout=2.0):
            self.assertLess(time.monotonic() - back, 20.0, "server not up 20 s after the broker")
            time.sleep(0.5)
        got = self.queue.until(lambda g: any(m.is_alive for m in g), timeout=10, skip_alive=False)
        bodies = [m.body for m in got]
        self.assertEqual(set(bodies), {FULLSYNC, ALIVE}, bodies)
        self.assertEqual(bodies[-1], ALIVE)
        self.assertGreaterEqual(bodies.count(FULLSYNC), 1)


class StopTest(unittest.TestCase):
    """kill -TERM ends the server within 10 s, whether the broker is up, down
    or blocking publishers."""

    @classmethod
    def setUpClass(cls):
        broker_start()

    @classmethod
    def tearDownClass(cls):
        ds_stop()
        broker_start()

    def assert_stops(self, pid):
        os.kill(pid, signal.SIGTERM)
        t = time.monotonic()
        while process_alive(pid) and time.monotonic() - t < 10.0:
            time.sleep(0.1)
        self.assertFalse(process_alive(pid), "ns-slapd %d still running 10 s after SIGTERM" % pid)

    def test_term(self):
        cases = [  # what, the broker during the write, seconds from the write to the signal
            ("broker up", "up", 0), ("broker down", "down", 0),
            ("broker down, between two reconnection attempts", "down", 7),
            ("broker blocking publishers", "blocked", 2)]
        for n, (what, broker, pause) in enumerate(cases):
            with self.subTest(what):
                broker_start()
                pid = ds_start()
                conn = ldap_connect()
                dn = "cn=e2e-stop-%d,%s" % (n, container("users"))
                delete_if_present(conn, dn)
                if broker == "down":
                    broker_stop()
                elif broker == "blocked":
                    rabbitmqctl("set_vm_memory_high_watermark", "absolute", "1")
                try:
                    conn.add_s(dn, [("objectClass", [b"top", b"nsContainer"]),
                                    ("cn", [b"e2e-stop-%d" % n])])
                    time.sleep(pause)
                    self.assert_stops(pid)
                finally:
                    if broker == "blocked":
                        rabbitmqctl("set_vm_memory_high_watermark", "0.4")
        with self.subTest("broker down at start-up, waited for"):
            broker_stop()
            pid = ds_start(nowait=True,
                           extra_env={"DIRMIRROR_DS_SETTINGS": "WAIT_FOR_BROKER_AT_START=on"})
            time.sleep(7)
            self.assertTrue(process_alive(pid), "start-up did not wait for the broker")
            self.assert_stops(pid)


class HostileInputTest(ServerFixture):
    """Hostile input: huge values, huge modifications and DNs, a settings file
    full of junk, a broker that hangs up and one that blocks publishers. The
    events stay valid and complete, and the server keeps answering."""
    MIB = 1 << 20
    ENTRY = [("objectClass", [b"top", b"nsContainer"])]
    restarted = False  # a test left the server running with other settings, or stopped

    def setUp(self):
        if type(self).restarted:
            type(self).restarted = False
            self.restart()
        super().setUp()

    def restart(self, **env):
        ds_start(extra_env=env)
        type(self).ldap = ldap_connect()

    def write(self, i, name="users"):
        """Adds cn=e2e-hostile-<i> (an nsContainer) under the container; returns its DN."""
        dn = "cn=e2e-hostile-%d,%s" % (i, container(name))
        delete_if_present(self.ldap, dn)
        self.queue.purge()
        self.add_and_check(dn, self.ENTRY + [("cn", [b"e2e-hostile-%d" % i])])
        self.addCleanup(lambda: delete_if_present(self.ldap, dn))
        return dn

    def test_big_and_odd_changes(self):
        big = "cn=e2e-big,%s" % container("users")
        group = "cn=e2e-many,%s" % container("groups")
        long_dn = "cn=%s,%s" % ("".join(chr(97 + i % 26) for i in range(3000)), container("users"))
        for dn in (big, group, long_dn):
            delete_if_present(self.ldap, dn)
        self.queue.purge()
        unit = b'0123456789 "quoted" back\\slash\ttab '
        values = [(unit * (self.MIB // len(unit) + 1))[:self.MIB],
                  (b"x" + unit[::-1] * (self.MIB // len(unit) + 1))[:self.MIB]]

        with self.subTest("1 MB value"):
            self.ldap.add_s(big, [("objectClass", PERSON), ("cn", [b"e2e-big"]), ("sn", [b"Big"]),
                                  ("description", values[:1])])
            [m] = self.queue.take(1)
            ev = m.event()
            self.assertEqual((ev["dn"], ev["op_type"]), (big, "add"))
            self.assertEqual([len(v) for v in ev["arg"]["description"]], [self.MIB])
            self.assertTrue(ev["arg"]["description"] == [values[0].decode()], "1 MB value altered")
            got = self.modify_and_check(big, big, [(ldap.MOD_REPLACE, "description", values[1:])])
            self.assertEqual(len(got[0].event()["0"]["arg"]["description"][0]), self.MIB)
            [(_, entry)] = self.ldap.search_s(big, ldap.SCOPE_BASE, attrlist=["description"])
            self.assertTrue(entry["description"] == values[1:], "stored value differs")
            self.delete_and_check(big, big)

        with self.subTest("10,000 values in one modification"):
            members = [b"uid=m%05d,%s" % (i, container("users").encode()) for i in range(10000)]
            self.add_and_check(group, [("objectClass", [b"top", b"groupOfNames"]),
                                       ("cn", [b"e2e-many"]), ("member", [b"uid=first,cn=x"])])
            got = self.modify_and_check(group, group, [(ldap.MOD_ADD, "member", members)])
            listed = got[0].event()["0"]["arg"]["member"]
            self.assertEqual(len(listed), 10000)
            self.assertTrue(listed == [v.decode() for v in members], "member values differ")
            [(_, entry)] = self.ldap.search_s(group, ldap.SCOPE_BASE, attrlist=["member"])
            self.assertEqual(len(entry["member"]), 10001)
            self.delete_and_check(group, group)

        with self.subTest("3,000-character RDN"):
            cn = long_dn[3:3003].encode()
            published = self.add_and_check(long_dn, [("objectClass", PERSON), ("cn", [cn]),
                                                     ("sn", [b"Long"])])
            self.assertEqual(published, long_dn)
            self.modify_and_check(long_dn, long_dn, [(ldap.MOD_REPLACE, "sn", [b"Longer"])])
            self.assertTrue(self.ldap.search_s(long_dn, ldap.SCOPE_BASE))
            self.delete_and_check(long_dn, long_dn)

    def test_settings_file_with_junk(self):
        """Junk around the real lines: the start is refused, each line it
        cannot read named once, never with the password."""
        self.addCleanup(write_settings, SETTINGS.read_bytes())
        junk = b"\n".join([
            b"# settings with junk around the real lines",
            b"\x00\x00\xff\xfe binary\x00junk \xff\xff",
            b"#" + (b"long comment \x00\xff " * 400)[:4999],
            (b"0123456789" * 500),
            b"RABBIT_HOST=127.0.0.1", b"RABBIT_PORT=%d" % AMQP_PORT, b"RABBIT_VHOST=/",
            b"# a comment between them",
            b"RABBIT_EXCHANGE=dirmirror", b"RABBIT_ROUTINGKEY=ldap.changes",
            b"RABBIT_USERNAME=guest", b"RABBIT_PASSWORD=guest",
            b"\xff" * 5000,
            b"\x00RABBIT_PORT=1", b"\xffRABBIT_HOST=192.0.2.1", b" RABBIT_PORT=2",
            b"# the last line, without a line feed"])
        write_settings(junk)
        type(self).restarted = True
        mark = log_mark()
        with self.assertRaises(RuntimeError):
            self.restart(DIRMIRROR_DS_KEEP_ENV="1")
        self.assertEqual(SETTINGS.read_bytes(), junk, "the settings file was rewritten")
        lines = lines_since(mark)
        self.assertEqual([l.text for l in lines if l.subsystem == "initial_config"], [
            "Нет знака «=»: ожидается КЛЮЧ=значение (строка 2)",
            "Строка длиннее 4096 байт (строка 3)", "Строка длиннее 4096 байт (строка 4)",
            "Строка длиннее 4096 байт (строка 13)",
            "Неизвестный ключ ?RABBIT_PORT (строка 14)", "Неизвестный ключ ?RABBIT_HOST (строка 15)",
            "RABBIT_PORT: задан дважды (строки 6 и 16)"])
        self.assertFalse([l for l in lines if "guest" in l.text])

    def test_broker_hangs_up_then_comes_back(self):
        proxy = HangUpProxy()
        self.addCleanup(proxy.close)
        self.addCleanup(ds_stop)  # runs first
        type(self).restarted = True
        self.queue.purge()
        mark = log_mark()
        pid = ds_start(nowait=True, extra_env={"DIRMIRROR_AMQP_PORT": str(proxy.port)})
        started = time.monotonic()
        while time.monotonic() - started < 11.5:
            self.assertTrue(process_alive(pid), "ns-slapd ended while the broker hangs up")
            time.sleep(0.5)
        self.assertTrue(search_answers(timeout=2.0), "the server waits for a broker that hangs up")
        failures = send_failures(lines_since(mark))
        self.assertEqual(backoff_faults([l.when for l in failures], 11.5), [])
        for l in failures:
            self.assertTrue(l.text.startswith("amqp_login(...) :: "), l)
        self.assertGreaterEqual(proxy.hung_up, len(failures))

        proxy.forwarding = True
        back = time.monotonic()
        while not search_answers(timeout=2.0):
            self.assertLess(time.monotonic() - back, 20.0, "server not up 20 s after the broker")
            time.sleep(0.5)
        self.queue.until(lambda g: any(m.is_fullsync for m in g), timeout=10)
        type(self).ldap = ldap_connect()
        self.write(2, "computers")  # its event comes through the proxy, the only way in

    def test_a_blocked_broker_is_a_pause(self):
        dns = ["cn=e2e-hostile-%d,%s" % (i, container("hostgroups")) for i in (4, 5)]
        for dn in dns:
            delete_if_present(self.ldap, dn)
            self.addCleanup(lambda dn=dn: delete_if_present(self.ldap, dn))
        self.write(3)
        self.addCleanup(rabbitmqctl, "set_vm_memory_high_watermark", "0.4")  # runs first
        mark = log_mark()
        rabbitmqctl("set_vm_memory_high_watermark", "absolute", "1")  # blocks publishers
        t = time.monotonic()
        self.ldap.add_s(dns[0], self.ENTRY + [("cn", [b"e2e-hostile-4"])])
        self.assertLess(time.monotonic() - t, 2.0, "the client waited for the broker")
        blocked = {}
        while blocked.get("brokerblocked") != "TRUE":
            self.assertLess(time.monotonic() - t, 15.0, "not blocked: %r" % lines_since(mark)[-5:])
            time.sleep(0.5)
            blocked = monitor_entry(self.ldap)
        time.sleep(12)  # longer than a confirm is waited for
        t = time.monotonic()
        self.assertTrue(self.ldap.search_s(dns[0], ldap.SCOPE_BASE))
        self.ldap.add_s(dns[1], self.ENTRY + [("cn", [b"e2e-hostile-5"])])
        self.assertLess(time.monotonic() - t, 2.0, "the server stopped answering")
        self.assertEqual(monitor_entry(self.ldap)["eventsdropped"], blocked["eventsdropped"])

        rabbitmqctl("set_vm_memory_high_watermark", "0.4")
        got = self.queue.until(lambda g: len(g) >= 2, timeout=20)
        got += self.queue.drain(quiet=1.5)
        self.assertEqual([(m.event()["dn"], m.event()["op_type"]) for m in got],
                         [(dn, "add") for dn in dns])
        self.assertEqual([l.text for l in send_failures(lines_since(mark))],
                         ["Брокер приостановил приём сообщений (connection.blocked): публикация ждёт",
                          "Брокер снова принимает сообщения (connection.unblocked)"])
        self.write(6, "groups")


class OrderCheckTest(unittest.TestCase):
    """change_order.check() finds each kind of fault in made-up queues."""
    X, Y, Z = ("cn=%s,cn=users,cn=accounts,dc=lab" % c for c in "xyz")
    OPS = {  # the calls of three clients; D and E overlapped in time
        "A": Op(X, "add", None, 0, 1), "B": Op(X, "modify", "v", 2, 3),
        "C": Op(X, "delete", None, 4, 5), "D": Op(Y, "add", None, 6, 9),
        "E": Op(Z, "delete", None, 7, 8)}
    ROWS = [  # what, the queue, the faults found
        ("in order", "A B C D E", set()),
        ("overlapping calls either way", "A B C E D", set()),
        ("modify before its add", "B A C D E", {"out_of_order"}),
        ("lost, then FULLSYNC", "A B -C F D E", {"missing"}),
        ("lost, no FULLSYNC", "A B -C D E",
         {"missing", "missing_without_fullsync", "seq_jumps_without_fullsync"}),
        ("lost, FULLSYNC only after newer events", "A B -C D F E",
         {"missing", "resumed_before_fullsync", "seq_jumps_without_fullsync"}),
        ("part of a modify lost, then FULLSYNC", "A B1 F C D E", {"incomplete"}),
        ("events twice", "A B C C D E", {"unexpected"}),
        ("no seq on a change, seq on a FULLSYNC", "A* B C F* D E", {"properties"}),
        ("message id repeated", "A B C D E=", {"duplicate_message_ids"}),
        ("not JSON", "A B C ? D E", {"invalid"}),
    ]

    class Msg:
        content_type, delivery_mode = "text/plain", 2

        def __init__(self, body, seq, message_id):
            self.body, self.seq, self.message_id = body, seq, message_id
            self.timestamp = int(time.time())

    def events(self, op):
        if op.kind != "modify":
            return [b'{"dn":"%s","op_type":"%s"}\n' % (op.dn.encode(), op.kind.encode())]
        return [b'{"%d":{"dn":"%s","op_type":"modify","op":"REPLACE","arg":{"%s":["%s"]}}}\n'
                % (n, op.dn.encode(), attr, value) for n, (attr, value) in
                enumerate([(b"description", op.tag.encode()), (b"modifiersName", b"cn=dm"),
                           (b"modifyTimestamp", b"20240101000000Z")])]

    def queue(self, spec):
        """Tokens: an op's events; -op: lost (its seq numbers used); B1: only
        the first event of B, the rest lost; F: FULLSYNC; ?: not JSON; a
        trailing * inverts seq, a trailing = repeats the last message id."""
        out, seq = [], 0
        for token in spec.split():
            name = token.rstrip("*=")
            if name == "F":
                bodies = [FULLSYNC]
            elif name == "?":
                bodies = [b"not json"]
            else:
                bodies = self.events(self.OPS[name.strip("-1")])
            for n, body in enumerate(bodies):
                change = body != FULLSYNC
                if change:
                    seq += 1
                if name.startswith("-") or (name.endswith("1") and n > 0):
                    continue
                mid = out[-1].message_id if token.endswith("=") else "id-%d" % len(out)
                out.append(self.Msg(body, seq if change != token.endswith("*") else None, mid))
        return out

    def test_faults_found(self):
        for what, spec, want in self.ROWS:
            with self.subTest(what):
                _, faults = check(self.queue(spec), list(self.OPS.values()))
                self.assertEqual({k for k, v in faults.items() if v}, want, summary(faults))


if __name__ == "__main__":
    unittest.main()
