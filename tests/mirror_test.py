"""The mirror consumer's event handling, without servers: events applied to a
copy that may already hold them, renames, which messages cause a full read or
are skipped (copies, earlier runs, other suppliers' copies, bad headers), and
the upgrade of a database of the previous version."""
import json
import os
import sqlite3
import sys
import tempfile
import types
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import mirror  # noqa: E402

U = "cn=users,cn=accounts,dc=lab"
G = "cn=groups,cn=accounts,dc=lab"


def add(dn, **attrs):
    return {"dn": dn, "op_type": "add", "arg": attrs}


def mod(dn, op, **arg):
    return {"0": {"dn": dn, "op_type": "modify", "op": op, "arg": arg}}


def rename(dn, newdn, **arg):
    return {"dn": dn, "op_type": "modrdn", "newdn": newdn, "arg": arg}


class ApplyTest(unittest.TestCase):
    # (name, entries before as (uuid, dn, attrs), events as (uuid, event), rows after)
    CASES = [
        ("modify replayed on a copy that holds it already",
         [("u1", "cn=a," + U, {"member": ["x", "y"]})],
         [("u1", mod("cn=a," + U, "ADD", member=["y"])), ("u1", mod("cn=a," + U, "DELETE", member=["z"])),
          ("u1", mod("cn=a," + U, "DELETE", member=["X"]))],
         {"u1": ("cn=a," + U, {"member": ["y"]})}),
        ("add, modifies and delete of an entry the copy never had",
         [],
         [("u2", add("cn=b," + U, cn=["b"], entryid=["7"])), ("u2", mod("cn=b," + U, "REPLACE", CN=["c"])),
          ("u2", {"dn": "cn=b," + U, "op_type": "delete"}), ("u2", mod("cn=b," + U, "ADD", l=["q"]))],
         {}),
        ("add over a later copy replaces it; a JSON value becomes text again",
         [("u3", "cn=c," + U, {"cn": ["c"], "l": ["old"]})],
         [("u3", add("cn=c," + U, cn=["c"], objectClass=["top"])),
          ("u3", mod("cn=c," + U, "ADD", description=[{"a": 1}, {"b": 2}]))],
         {"u3": ("cn=c," + U, {"cn": ["c"], "objectclass": ["top"],
                                "description": ['{"a":1}', '{"b":2}']})}),
        ("a JSON value deleted is the one added",
         [("u4", "cn=d," + U, {"cn": ["d"], "description": ['{"a":1}', '{"b":2}']})],
         [("u4", mod("cn=d," + U, "DELETE", description=[{"a": 1}]))],
         {"u4": ("cn=d," + U, {"cn": ["d"], "description": ['{"b":2}']})}),
        ("rename within the containers takes the children along",
         [("p", "ou=p," + U, {"ou": ["p"]}), ("k", "cn=k,ou=p," + U, {"cn": ["k"]})],
         [("p", rename("ou=p," + U, "ou=q," + G, ou=["q"]))],
         {"p": ("ou=q," + G, {"ou": ["q"]}), "k": ("cn=k,ou=q," + G, {"cn": ["k"]})}),
        ("a move out deletes the entry and its children; a move in adds it",
         [("p", "ou=p," + U, {"ou": ["p"]}), ("k", "cn=k,ou=p," + U, {"cn": ["k"]})],
         [("p", rename("ou=p," + U, "ou=p,ou=people,dc=lab", ou=["p"])),
          ("m", rename("cn=m,ou=people,dc=lab", "cn=m," + G, cn=["m"]))],
         {"m": ("cn=m," + G, {"cn": ["m"]})}),
    ]

    def test_cases(self):
        for name, before, events, after in self.CASES:
            with self.subTest(name):
                m = mirror.Mirror(":memory:")
                m.replace_all(before)
                for uuid, event in events:
                    m.apply(event, uuid)
                rows = {k: (dn, json.loads(a)) for k, dn, a in m.db.execute("SELECT key, dn, attrs FROM entries")}
                self.assertEqual(rows, after)


class FakeChannel:
    def __init__(self, mirror_):
        self.mirror, self.acked = mirror_, []

    def basic_ack(self, tag, multiple=False):
        # Acknowledging what is not committed yet would lose it in a crash.
        assert not self.mirror.in_transaction, "acknowledged before commit"
        self.acked.append(tag)


def ev(mid, seq, **headers):
    """A change event (an add of cn=<mid>) from origin h:1 unless told otherwise."""
    return ("e", mid, dict({"origin": "h:1", "seq": seq}, **headers))


def wired(message):
    """The message with its headers as pika hands them over: seq encoded as
    the 64-bit integer the plug-in sends, then decoded."""
    import pika.compat
    import pika.data
    kind, mid, headers = message
    parts = []
    pika.data.encode_table(parts, dict(headers, seq=pika.compat.long(headers["seq"])))
    return kind, mid, pika.data.decode_table(b"".join(parts), 0)[0]


def fs(mid, **headers):
    return ("F", mid, dict({"origin": "h:1"}, **headers))


class HandleTest(unittest.TestCase):
    """Messages in order -> full reads done, message_ids applied, skips counted."""
    SKIPS = ("old_seq_skipped", "old_run_skipped", "copies_skipped", "bad_headers")
    CASES = [
        ("in order", [ev("1", 1), ev("2", 2)], [], ["1", "2"], {}),
        ("headers as they come off the wire",
         [wired(ev("1", 1, run_id="r", csn="c1")), wired(ev("2", 2, run_id="r")), wired(ev("3", 2, run_id="r"))],
         [], ["1", "2"], {"old_seq_skipped": 1}),
        ("redelivered id and old seq are skipped", [ev("1", 5), ev("1", 5), ev("2", 4)], [], ["1"],
         {"old_seq_skipped": 1}),
        ("a gap reads afresh, then applies the event", [ev("1", 5), ev("2", 7)], ["seq_gap"], ["1", "2"], {}),
        ("FULLSYNC reads afresh and restarts counting",
         [ev("1", 50), fs("2"), ev("3", 1), fs("2"), ev("4", 2)], ["fullsync"], ["1", "3", "4"], {}),
        ("headers of the wrong type: dropped; the next event's gap reads afresh",
         [ev("1", 1), ev("2", "2"), ev("3", True), ev("4", 0), ev("5", 2, origin=7),
          ev("6", 2, entry_uuid=b"u"), ev("7", 2, csn=5), ev("8", 2, origin=None, csn="c"), ev("9", 3)],
         ["seq_gap"], ["1", "9"], {"bad_headers": 7}),
        ("a FULLSYNC with a header of the wrong type still reads, and counting starts afresh",
         [ev("1", 5, run_id="r"), fs("2", run_id=5), ev("3", 2, run_id="r")], ["fullsync"], ["1", "3"],
         {"bad_headers": 1}),
        ("a new run_id restarts counting without a full read; origins count apart",
         [ev("1", 5, run_id="r1"), ev("2", 1, run_id="r2"), ev("3", 9, run_id="q", origin="h:2"),
          ev("4", 2, run_id="r2"), ev("5", 10, run_id="q", origin="h:2")], [], ["1", "2", "3", "4", "5"], {}),
        ("a gap within a run reads afresh",
         [ev("1", 1, run_id="r1"), ev("2", 2, run_id="r1"), ev("3", 4, run_id="r1")], ["seq_gap"],
         ["1", "2", "3"], {}),
        ("copies are skipped: the same id, a lower seq in the run, an earlier run's event",
         [ev("1", 1, run_id="r1"), ev("2", 2, run_id="r1"), ev("2", 2, run_id="r1"), ev("3", 1, run_id="r1"),
          ev("4", 1, run_id="r2"), ev("5", 3, run_id="r1"), ev("6", 2, run_id="r2")], [],
         ["1", "2", "4", "6"], {"old_seq_skipped": 1, "old_run_skipped": 1}),
        ("a FULLSYNC restarts counting in its run; a new run's FULLSYNC ends the earlier run for good",
         [ev("1", 5, run_id="r1"), fs("2", run_id="r1"), ev("3", 9, run_id="r1"), fs("4", run_id="r2"),
          ev("5", 10, run_id="r1"), ev("6", 1, run_id="r2"), fs("7", run_id="r1"), ev("8", 2, run_id="r2")],
         ["fullsync"] * 3, ["1", "3", "6", "8"], {"old_run_skipped": 1}),
        ("one csn from two origins applies once, from the first: both events of its modify; "
         "a skipped copy still counts in its run",
         [ev("1", 1, run_id="r", csn="c1"), ev("2", 1, run_id="q", origin="h:2", csn="c1"),
          ev("3", 2, run_id="q", origin="h:2", csn="c2"), ev("4", 2, run_id="r", csn="c1"),
          ev("5", 3, run_id="r", csn="c2"), ev("6", 3, run_id="q", origin="h:2", csn="c2"),
          ev("7", 4, run_id="r", csn="c3"), ev("8", 4, run_id="q", origin="h:2")], [],
         ["1", "3", "4", "6", "7", "8"], {"copies_skipped": 2}),
    ]

    def feed(self, db, messages, per_subtree=False):
        """Hands the messages to a consumer of db; returns it, the full reads
        done and the message_ids applied, in order."""
        c = mirror.Consumer(types.SimpleNamespace(db=db, base="dc=lab", exclude_attributes="", subtree=[],
                                                  per_subtree=per_subtree))
        if not c.mirror.initialized():
            c.mirror.db.execute("INSERT INTO stats VALUES ('full_reads', 1)")
        c.channel = FakeChannel(c.mirror)
        reads, applied, before = [], [], c.mirror.stats().get("events_applied", 0)
        c.full_read = lambda why: (c.mirror.replace_all([]), reads.append(why))
        apply = c.mirror.apply
        c.mirror.apply = lambda event, uuid=None: (applied.append(event["dn"].split(",")[0][3:]),
                                                   apply(event, uuid))
        for tag, (kind, mid, headers) in enumerate(messages, 1):
            body = mirror.FULLSYNC if kind == "F" else json.dumps(add("cn=%s,%s" % (mid, U))).encode()
            c.handle(tag, types.SimpleNamespace(message_id=mid, headers=headers), body)
        c.flush()
        self.assertEqual(c.channel.acked[-1], len(messages))
        self.assertEqual(c.mirror.stats().get("events_applied", 0) - before, len(applied))
        return c, reads, applied

    def skips(self, c):
        stats = c.mirror.stats()
        return {k: stats[k] for k in self.SKIPS if k in stats}

    def test_cases(self):
        for name, messages, reads, applied, skips in self.CASES:
            with self.subTest(name):
                c, done, got = self.feed(":memory:", messages)
                self.assertEqual(done, reads)
                self.assertEqual(got, applied)
                self.assertEqual(self.skips(c), skips)

    def test_a_queue_bound_to_some_subtrees_sees_gaps_by_design(self):
        c, reads, applied = self.feed(":memory:", [ev("1", 1, run_id="r"), ev("2", 5, run_id="r"),
                                                   ev("2", 5, run_id="r"), ev("3", 4, run_id="r")],
                                      per_subtree=True)
        self.assertEqual((reads, applied, self.skips(c)), ([], ["1", "2"], {"old_seq_skipped": 1}))
        self.assertEqual([mirror.routing_name(dn) for dn in
                          ("ou=People,dc=lab", "cn=Smith\\, John+uid=js,dc=lab", "ou=Сотрудники,dc=lab")],
                         ["people", "smith__john", "__________"])

    def test_previous_schema_upgrades_in_place(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "mirror.db")
            old = sqlite3.connect(path)  # the previous version's tables that changed or hold data
            old.executescript("""
                CREATE TABLE entries (key TEXT PRIMARY KEY, dn TEXT, ndn TEXT, attrs TEXT);
                CREATE TABLE position (origin TEXT PRIMARY KEY, seq INTEGER NOT NULL);
                CREATE TABLE applied (n INTEGER PRIMARY KEY AUTOINCREMENT, message_id TEXT UNIQUE NOT NULL);
                CREATE TABLE stats (name TEXT PRIMARY KEY, value INTEGER NOT NULL);
                INSERT INTO entries VALUES ('u1', 'cn=a', 'cn=a', '{}');
                INSERT INTO position VALUES ('h:1', 5); INSERT INTO applied (message_id) VALUES ('a');
                INSERT INTO stats VALUES ('full_reads', 1);""")
            old.close()
            # Position, message_ids and entries carry over; then the database opens again as it is.
            for messages, applied, skips in [
                    ([ev("a", 6), ev("b", 5), ev("c", 6), ev("d", 1, run_id="r1")], ["c", "d"],
                     {"old_seq_skipped": 1}),
                    ([ev("e", 1, run_id="r1"), ev("f", 2, run_id="r1")], ["f"], {"old_seq_skipped": 2})]:
                c, reads, got = self.feed(path, messages)
                self.assertEqual((reads, got, self.skips(c)), ([], applied, skips))
                self.assertIn(("u1",), c.mirror.db.execute("SELECT key FROM entries").fetchall())
                c.mirror.db.close()

if __name__ == "__main__":
    unittest.main()
