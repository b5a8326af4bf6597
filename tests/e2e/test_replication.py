"""The plug-in on both suppliers of a two-way replicated dc=lab (testbed/repl-start):
who publishes a change, renames, and changes made by referential integrity.

Run from this folder with Debian's python (python3-ldap, python3-pika):
    DIRMIRROR_PLUGIN=/path/libdirmirror-plugin.so /usr/bin/python3 -m unittest -v test_replication
Starts its own broker (port DIRMIRROR_REPL_AMQP_PORT, 5690) and the suppliers
(3391, 3392); stops both at the end.  Rewrites /etc/quorvel/dirmirror.env."""
import json
import time
import unittest
import uuid

import ldap
import ldap.dn

from repl_support import OTHER, SUPPLIERS, Queue, container, script, start_suppliers

PERSON = [b"top", b"person", b"organizationalPerson", b"inetOrgPerson"]
SUP1 = SUPPLIERS[0]


def person(dn):
    uid = ldap.dn.str2dn(dn)[0][0][1].encode()
    return [("objectClass", PERSON), ("uid", [uid]), ("cn", [uid]), ("sn", [b"Tester"])]


def group(dn, members):
    cn = ldap.dn.str2dn(dn)[0][0][1].encode()
    return [("objectClass", [b"top", b"groupOfNames"]), ("cn", [cn]), ("member", members)]


def removes_member(message, member):
    """A modify event that deletes that member value, or replaces the members without it."""
    mod = next(iter(message.event().values()))
    values = mod["arg"].get("member")
    return values is not None and (mod["op"] == "DELETE" and values == [member]
                                   or mod["op"] == "REPLACE" and member not in values)


def setUpModule():
    script("broker-start")


def tearDownModule():
    try:
        script("repl-stop")
    finally:
        script("broker-stop")


class Suppliers(unittest.TestCase):
    """Both suppliers restarted with the plug-in and these extra settings."""
    SETTINGS = ""

    @classmethod
    def setUpClass(cls):
        start_suppliers(cls.SETTINGS)
        for s in SUPPLIERS:
            s.connect()
        cls.queue = Queue()

    @classmethod
    def tearDownClass(cls):
        cls.queue.close()
        for s in SUPPLIERS:
            s.close()

    def setUp(self):
        self.tag = uuid.uuid4().hex[:8]  # fresh names: the suppliers keep their data
        self.queue.settle()  # start-up FULLSYNCs and anything left over

    def user_dn(self, uid, parent=None):
        return "uid=%s-%s,%s" % (uid, self.tag, parent or container("users"))

    def replicated(self, dn, present=True):
        """Waits until both suppliers show dn (or, present=False, neither does)."""
        for s in SUPPLIERS:
            s.wait_until(dn, lambda: (s.read(dn) is not None) == present)

    def check_published_by(self, replicated_too):
        """Add, rename on the other supplier, delete: written on each supplier in
        turn. Each change comes once from the supplier written to and, when
        replicated changes are published, once more from the other one."""
        for first in SUPPLIERS:
            dn = self.user_dn("pub-" + first.name)
            new_dn = self.user_dn("pub-renamed-" + first.name)
            steps = [  # supplier written to, op_type, change, DN to wait for, present there
                (first, "add", lambda s: s.conn.add_s(dn, person(dn)), dn, True),
                (first.peer, "modrdn", lambda s: s.conn.rename_s(dn, new_dn.split(",")[0]), new_dn, True),
                (first, "delete", lambda s: s.conn.delete_s(new_dn), new_dn, False),
            ]
            uid = None
            csns = []  # one per change: the copies of a change share it
            for writer, op_type, change, wait_dn, present in steps:
                with self.subTest(op=op_type, written_to=writer.name):
                    change(writer)
                    self.replicated(wait_dn, present)
                    uid = uid or writer.read(dn, ["nsUniqueId"])["nsUniqueId"][0].decode()
                    got = self.queue.settle()
                    expected = [(writer.origin, False)] + ([(writer.peer.origin, True)] if replicated_too else [])
                    self.assertEqual(sorted((m.origin, m.headers.get("replicated")) for m in got),
                                     sorted(expected), got)
                    for m in got:
                        ev = m.event()
                        self.assertEqual((ev["op_type"], ev["dn"]), (op_type, dn if op_type != "delete" else new_dn))
                        self.assertEqual(m.headers.get("entry_uuid"), uid, m)
                    if replicated_too:
                        self.assertEqual(got[0].event().get("newdn"), got[1].event().get("newdn"))
                    [csn] = {m.headers.get("csn") for m in got}
                    self.assertRegex(csn or "", r"^[0-9a-f]{20}$", got)
                    # time, sequence number, replica id, subsequence: made just now, where written
                    self.assertLess(abs(int(csn[:8], 16) - time.time()), 600, csn)
                    self.assertEqual(int(csn[12:16], 16), writer.replica_id, csn)
                    csns.append(csn)
            self.assertEqual(len(set(csns)), len(csns), csns)

    def check_referential_integrity(self, published):
        """Deletes on SUP1 a user who is a member of a group: referential
        integrity removes the member (an internal change, replicated to SUP2).
        That removal comes once, from SUP1, when `published`; else not at all."""
        gone, kept = self.user_dn("ri-gone"), self.user_dn("ri-kept")
        group_dn = "cn=ri-%s,%s" % (self.tag, container("groups"))
        SUP1.conn.add_s(gone, person(gone))
        SUP1.conn.add_s(group_dn, group(group_dn, [gone.encode(), kept.encode()]))
        self.replicated(group_dn)
        self.queue.settle()
        SUP1.conn.delete_s(gone)
        self.replicated(gone, present=False)
        for s in SUPPLIERS:  # referential integrity's change has reached both
            s.wait_until("member removed", lambda: s.read(group_dn, ["member"])["member"] == [kept.encode()])
        got = self.queue.settle()
        self.assertIn((b'{"dn":%s,"op_type":"delete"}\n' % json.dumps(gone).encode(), SUP1.origin),
                      [(m.body, m.origin) for m in got])
        of_group = [m for m in got if m.dn() == group_dn]
        if not published:
            self.assertEqual(of_group, [])
            return
        removals = [(m.origin, m.headers.get("replicated")) for m in of_group if removes_member(m, gone)]
        self.assertEqual(removals, [(SUP1.origin, False)], got)


class PublishedOnceWhereWritten(Suppliers):
    SETTINGS = "PUBLISH_REPLICATED=off\nPUBLISH_INTERNAL=off\n"

    def test_change_published_once_by_the_supplier_written_to(self):
        self.check_published_by(replicated_too=False)

    def test_renames(self):
        rows = [  # what, old DN, new RDN, new superior, delete old RDN, new DN
            ("within", self.user_dn("rn-a"), "uid=rn-b-" + self.tag, None, True, self.user_dn("rn-b")),
            ("into", self.user_dn("rn-in", OTHER), "uid=rn-in-" + self.tag, container("users"), True, self.user_dn("rn-in")),
            ("out of", self.user_dn("rn-out"), "uid=rn-gone-" + self.tag, OTHER, False, self.user_dn("rn-gone", OTHER)),
        ]
        for what, old, rdn, superior, delete_old, new in rows:
            with self.subTest(rename=what):
                SUP1.conn.add_s(old, person(old))
                self.replicated(old)
                self.queue.settle()
                SUP1.conn.rename_s(old, rdn, superior, int(delete_old))
                self.replicated(new)
                got = self.queue.settle()
                self.assertEqual(len(got), 1, got)
                m = got[0]
                entry = SUP1.read(new, ["*", "+"])
                ev = m.event()
                self.assertEqual(list(ev), ["dn", "op_type", "newdn", "newrdn", "deleteoldrdn", "newsuperior", "arg"])
                self.assertEqual({k: v for k, v in ev.items() if k != "arg"},
                                 {"dn": old, "op_type": "modrdn", "newdn": new, "newrdn": rdn,
                                  "deleteoldrdn": delete_old, "newsuperior": superior})
                self.assertEqual(m.body, json.dumps(ev, ensure_ascii=False, separators=(",", ":")).encode() + b"\n")
                # arg: the entry after the rename, as the directory now returns it
                stored = {k.lower(): [x.decode() for x in v] for k, v in entry.items()}
                for attr, values in ev["arg"].items():
                    self.assertEqual(values, stored.get(attr.lower()), attr)
                for attr in ("objectclass", "uid", "cn", "sn", "nsuniqueid", "modifiersname", "modifytimestamp"):
                    self.assertIn(attr, {k.lower() for k in ev["arg"]})
                old_uid = old.split(",")[0].split("=")[1]
                self.assertEqual(sorted(stored["uid"]), sorted([rdn.split("=")[1]] + ([] if delete_old else [old_uid])))

    def test_failed_rename_publishes_nothing(self):
        taken, missing = self.user_dn("rn-taken"), self.user_dn("rn-missing")
        SUP1.conn.add_s(taken, person(taken))
        SUP1.conn.add_s(self.user_dn("rn-src"), person(self.user_dn("rn-src")))
        self.replicated(self.user_dn("rn-src"))
        self.queue.settle()
        rows = [("target missing", missing, ldap.NO_SUCH_OBJECT),
                ("new DN taken", self.user_dn("rn-src"), ldap.ALREADY_EXISTS)]
        for what, dn, error in rows:
            with self.subTest(what):
                with self.assertRaises(error):
                    SUP1.conn.rename_s(dn, taken.split(",")[0])
                self.assertEqual(self.queue.settle(), [])

    def test_referential_integrity_change_not_published(self):
        self.check_referential_integrity(published=False)

    def test_value_deletes_list_their_values(self):
        m1, m2 = self.user_dn("m1").encode(), self.user_dn("m2").encode()
        group_dn = "cn=vd-%s,%s" % (self.tag, container("groups"))
        SUP1.conn.add_s(group_dn, group(group_dn, [m1, m2]) + [("description", [b"d"])])
        self.queue.settle()
        rows = [  # modification, first event's arg
            ((ldap.MOD_DELETE, "member", [m1]), {"member": [m1.decode()]}),
            ((ldap.MOD_DELETE, "description", None), {"description": []}),
        ]
        for mod, arg in rows:
            with self.subTest(attribute=mod[1]):
                SUP1.conn.modify_s(group_dn, [mod])
                got = self.queue.settle()
                self.assertEqual(got[0].body, b'{"0":%s}\n' % json.dumps(
                    {"dn": group_dn, "op_type": "modify", "op": "DELETE", "arg": arg},
                    separators=(",", ":")).encode())


class ReplicatedChangesPublished(Suppliers):
    SETTINGS = "PUBLISH_REPLICATED=on\n"

    def test_change_published_by_both_suppliers(self):
        self.check_published_by(replicated_too=True)

    def test_a_conflict_resolved_to_nothing_publishes_nothing(self):
        """Replication paused, one entry deleted on both suppliers: once they
        replicate again, each one's delete reaches the other, where the entry
        is gone already and conflict resolution makes it a no-op. Each
        supplier publishes its own delete, and nothing of the other's."""
        dn = self.user_dn("conflict")
        SUP1.conn.add_s(dn, person(dn))
        self.replicated(dn)
        self.queue.settle()
        for s in SUPPLIERS:
            s.replicating(False)
            self.addCleanup(s.replicating, True)
        for s in SUPPLIERS:
            s.conn.delete_s(dn)
        for s in SUPPLIERS:
            s.replicating(True)
        time.sleep(3)  # each delete has reached the other supplier by now
        got = self.queue.settle()
        seen = sorted((m.origin, m.event()["op_type"], m.headers.get("replicated"))
                      for m in got if m.dn() == dn)
        self.assertEqual(seen, sorted((s.origin, "delete", False) for s in SUPPLIERS), got)


class InternalChangesPublished(Suppliers):
    SETTINGS = "PUBLISH_REPLICATED=off\nPUBLISH_INTERNAL=on\n"

    def test_referential_integrity_change_published(self):
        self.check_referential_integrity(published=True)

    def test_change_still_published_once(self):
        # What the servers do on their own around a client's change (e.g. the
        # replication plug-in's bookkeeping entries) is no change of the data.
        self.check_published_by(replicated_too=False)


if __name__ == "__main__":
    unittest.main()
