"""End-to-end: the changes the server makes for its clients, as it stored
them. The values its plug-ins set inside a write (DNA's numbers) are in the
write's events; the changes they make inside it (memberOf, referential
integrity) follow it, and only if it commits; the Password Modify extended
operation's change is published, also after a bind that ended early; the
bookkeeping of a bind never is; a write made by a plug-in's start is; an
online import is followed by a FULLSYNC that no earlier event follows; a
message the broker refuses costs one FULLSYNC, not the stream.

Run from this folder with Debian's python:
    DIRMIRROR_PLUGIN=... DIRMIRROR_TEST_PLUGIN=... /usr/bin/python3 -m unittest -v test_server_changes
"""
import json
import os
import subprocess
import sys
import time
import unittest

import ldap

import threading

from e2e_support import (LDAP_URI, Queue, broker_start, container, delete_if_present, ds_start,
                         ds_stop, ldap_connect, lines_since, log_mark, rabbitmqctl)

PERSON = [b"top", b"person", b"organizationalPerson", b"inetOrgPerson"]
LDAPI = "ldapi://%2Fdata%2Frun%2Fslapd-dirmirror.socket"
DSCONF = ["dsconf", "-D", "cn=Directory Manager", "-w",
          os.environ.get("DIRMIRROR_DM_PASSWORD", "dirmirror-admin"), "ldap://127.0.0.1:%s"
          % os.environ.get("DIRMIRROR_LDAP_PORT", "3389")]
# memberOf and referential integrity as identity deployments run them, every
# login recorded, lockout after failed binds, and a plug-in that refuses the
# delete of an entry described "refuse-delete" after the others made their
# changes in it.
# DNA numbers posixAccounts; the test plug-in writes AT_START at its start.
AT_START = "uid=e2e-at-start,%s" % container("users")
SERVER = {"DIRMIRROR_DS_FEATURES": "memberof referint accountpolicy lockout dna",
          "DIRMIRROR_DS_TEST_PLUGIN": os.environ.get("DIRMIRROR_TEST_PLUGIN", ""),
          "DIRMIRROR_DS_TEST_PLUGIN_ARG": AT_START}
POSIX = PERSON + [b"posixAccount"]
OTHER_SUFFIX = "dc=other"  # a second backend, with containers of its own
BOOKKEEPING = {"entryid", "parentid", "entrydn", "dsentrydn", "entryuuid", "numsubordinates"}


def user_dn(uid):
    return "uid=%s,%s" % (uid, container("users"))


class ServerChangesTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if not SERVER["DIRMIRROR_DS_TEST_PLUGIN"]:
            raise unittest.SkipTest("DIRMIRROR_TEST_PLUGIN names no library (ctest sets it)")
        broker_start()
        ds_start(extra_env=SERVER)
        cls.queue = Queue()
        cls.ldap = ldap_connect()

    @classmethod
    def tearDownClass(cls):
        cls.queue.close()
        cls.ldap.unbind_s()
        ds_stop()  # the next start turns the server's features off again

    def setUp(self):
        self.queue.purge()

    def add_user(self, uid, password=b"secret-1"):
        dn = user_dn(uid)
        delete_if_present(self.ldap, dn)
        self.addCleanup(delete_if_present, self.ldap, dn)
        self.ldap.add_s(dn, [("objectClass", PERSON), ("uid", [uid.encode()]), ("cn", [b"x"]),
                             ("sn", [b"x"]), ("userPassword", [password])])
        return dn

    def add_group(self, name, members):
        dn = "cn=%s,%s" % (name, container("groups"))
        delete_if_present(self.ldap, dn)
        self.addCleanup(delete_if_present, self.ldap, dn)
        self.ldap.add_s(dn, [("objectClass", [b"top", b"groupOfNames"]), ("cn", [name.encode()]),
                             ("member", [m.encode() for m in members])])
        return dn

    def events(self, quiet=1.5):
        """The change events that arrived until the queue was quiet, parsed;
        their seq must have no gap."""
        got = [m for m in self.queue.drain(quiet=quiet) if not m.is_control]
        seqs = [m.seq for m in got]
        self.assertEqual(seqs, list(range(seqs[0], seqs[0] + len(seqs))) if seqs else [])
        out = []
        for m in got:
            ev = m.event()
            out.append(next(iter(ev.values())) if "op_type" not in ev else ev)
        return out

    def test_nested_changes_follow_their_write(self):
        kept, refused = self.add_user("e2e-nested-kept"), self.add_user("e2e-nested-refused")
        self.ldap.modify_s(refused, [(ldap.MOD_ADD, "description", [b"refuse-delete"])])
        self.addCleanup(self.ldap.modify_s, refused, [(ldap.MOD_DELETE, "description", None)])
        self.queue.purge()
        group = self.add_group("e2e-nested", [kept, refused])
        got = self.events()
        self.assertEqual((got[0]["dn"], got[0]["op_type"]), (group, "add"))
        member_of = {ev["dn"] for ev in got[1:]
                     if ev["op_type"] == "modify" and "memberOf" in ev["arg"]}
        self.assertEqual(member_of, {kept, refused}, "memberOf set on both members")

        self.ldap.delete_s(kept)
        got = self.events()
        self.assertEqual((got[0]["dn"], got[0]["op_type"]), (kept, "delete"))
        self.assertIn({"dn": group, "op_type": "modify", "op": "DELETE", "arg": {"member": [kept]}},
                      got[1:], "referential integrity's change follows the delete")

        with self.assertRaises(ldap.UNWILLING_TO_PERFORM):
            self.ldap.delete_s(refused)
        self.assertEqual(self.events(), [], "a refused delete publishes nothing of it")
        [(_, attrs)] = self.ldap.search_s(group, ldap.SCOPE_BASE, attrlist=["member"])
        self.assertEqual(attrs["member"], [refused.encode()], "its nested change was rolled back")

    def test_password_modify_extended_operation(self):
        dn = self.add_user("e2e-passwd")
        self.queue.purge()
        # The operation wants a secure connection: the server's LDAPI socket.
        subprocess.run(["ldappasswd", "-H", LDAPI, "-Y", "EXTERNAL", "-Q", "-s", "secret-2", dn],
                       check=True, capture_output=True, timeout=30)
        got = self.events()
        changed = {name for ev in got if ev["dn"] == dn and ev["op_type"] == "modify"
                   for name in ev["arg"]}
        changed = {name.lower() for name in changed}
        self.assertIn("userpassword", changed)
        self.assertNotIn("unhashed#user#password", changed)

    def test_json_value_deleted_reads_as_added(self):
        dn = self.add_user("e2e-json")
        self.queue.purge()
        value = b'{"a": 1, "b": [true]}'
        for op in (ldap.MOD_ADD, ldap.MOD_DELETE):
            self.ldap.modify_s(dn, [(op, "description", [value])])
        client = [ev for ev in self.events() if "description" in ev["arg"]]
        self.assertEqual([ev["op"] for ev in client], ["ADD", "DELETE"])
        self.assertEqual(client[0]["arg"]["description"], [json.loads(value)])
        self.assertEqual(client[1]["arg"]["description"], client[0]["arg"]["description"])

    def test_rename_shows_the_entry_as_a_client_reads_it(self):
        self.queue.purge()
        dn = self.add_user("e2e-rename-a")
        [added] = self.events()
        self.addCleanup(delete_if_present, self.ldap, user_dn("e2e-rename-b"))
        self.ldap.rename_s(dn, "uid=e2e-rename-b", delold=1)
        renames = [ev for ev in self.events() if ev["op_type"] == "modrdn"]
        self.assertEqual(len(renames), 1)
        arg = {k.lower(): v for k, v in renames[0]["arg"].items()}
        self.assertEqual(set(arg) & BOOKKEEPING, set())
        self.assertEqual(set(arg), {k.lower() for k in added["arg"]})
        self.assertEqual(arg["uid"], ["e2e-rename-b"])

    def test_binds_publish_nothing(self):
        dn = self.add_user("e2e-bind")
        self.queue.purge()
        client = ldap.initialize(LDAP_URI)
        with self.assertRaises(ldap.INVALID_CREDENTIALS):
            client.simple_bind_s(dn, "wrong")
        [(_, attrs)] = self.ldap.search_s(dn, ldap.SCOPE_BASE, attrlist=["passwordRetryCount"])
        self.assertEqual(attrs.get("passwordRetryCount"), [b"1"], "the server counted the failure")
        client.simple_bind_s(dn, "secret-1")
        client.unbind_s()
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            [(_, attrs)] = self.ldap.search_s(dn, ldap.SCOPE_BASE, attrlist=["lastLoginTime"])
            if "lastLoginTime" in attrs:
                break
            time.sleep(0.2)
        self.assertIn("lastLoginTime", attrs, "the server recorded the login")
        self.assertEqual(self.events(), [])

    def dsconf(self, *args, attempts=1):
        """Runs dsconf; a failure fails the test with what dsconf and the
        server's error log said (a task's own reasons are only there). A
        task the server turned down is tried `attempts` times, each failure
        shown on stderr."""
        for attempt in range(1, attempts + 1):
            mark = log_mark()
            done = subprocess.run(DSCONF + list(args), capture_output=True, text=True, timeout=120)
            if done.returncode == 0:
                return
            why = "dsconf %s: exit %d\n%s%s\nerror log:\n%s" % (
                " ".join(args[:2]), done.returncode, done.stdout, done.stderr,
                "\n".join("%s - %s - %s" % (l.level, l.subsystem, l.text)
                          for l in lines_since(mark)[-40:]))
            print("attempt %d: %s" % (attempt, why), file=sys.stderr)
            time.sleep(2)
        self.fail(why)

    def test_values_the_backend_set_are_published(self):
        dn = user_dn("e2e-dna")
        delete_if_present(self.ldap, dn)
        self.addCleanup(delete_if_present, self.ldap, dn)
        self.queue.purge()
        self.ldap.add_s(dn, [("objectClass", POSIX), ("uid", [b"e2e-dna"]), ("cn", [b"x"]),
                             ("sn", [b"x"]), ("uidNumber", [b"-1"]), ("gidNumber", [b"100"]),
                             ("homeDirectory", [b"/home/e2e-dna"])])
        self.ldap.modify_s(dn, [(ldap.MOD_REPLACE, "uidNumber", [b"-1"])])
        stored = [v.decode() for v in self.ldap.search_s(dn, ldap.SCOPE_BASE, attrlist=["uidNumber"])[0][1]["uidNumber"]]
        added, *modified = self.events()
        self.assertNotEqual(added["arg"]["uidNumber"], ["-1"])
        self.assertRegex(added["arg"]["uidNumber"][0], r"^7\d{3}$", "DNA's number, as stored")
        self.assertIn("nsUniqueId", added["arg"], "the stored entry, not the client's")
        numbers = [ev["arg"]["uidNumber"] for ev in modified if "uidNumber" in ev["arg"]]
        self.assertEqual(numbers, [stored], "only the value DNA put in place of the magic one")
        self.assertNotEqual(stored, added["arg"]["uidNumber"])

    def test_a_write_made_at_a_plugin_start_is_published(self):
        delete_if_present(self.ldap, AT_START)
        self.ldap.add_s(AT_START, [("objectClass", PERSON), ("uid", [b"e2e-at-start"]), ("cn", [b"x"]),
                                   ("sn", [b"x"])])
        self.addCleanup(lambda: delete_if_present(type(self).ldap, AT_START))
        self.queue.purge()
        mark = log_mark()
        ds_start(extra_env=SERVER)
        type(self).ldap = ldap_connect()
        got = self.queue.until(lambda g: any(not m.is_control for m in g), timeout=10)
        self.assertTrue(got[0].is_fullsync)
        ev = next(iter(got[-1].event().values()))
        self.assertEqual((ev["dn"], ev["arg"]), (AT_START, {"description": ["written at start"]}))
        time.sleep(1)
        self.assertEqual([l for l in lines_since(mark) if l.subsystem == "commit_order"], [],
                         "no place taken that was never handed over")

    def other_backend(self):
        """dc=other, its own backend, with a users container (made once)."""
        try:
            self.ldap.search_s(OTHER_SUFFIX, ldap.SCOPE_BASE)
        except ldap.NO_SUCH_OBJECT:
            self.dsconf("backend", "create", "--suffix", OTHER_SUFFIX, "--be-name", "otherRoot",
                        "--create-suffix")
        for dn in ("cn=accounts," + OTHER_SUFFIX, "cn=users,cn=accounts," + OTHER_SUFFIX):
            try:
                self.ldap.add_s(dn, [("objectClass", [b"top", b"nsContainer"]),
                                     ("cn", [dn.split(",")[0][3:].encode()])])
            except ldap.ALREADY_EXISTS:
                pass

    def test_an_import_fullsync_comes_after_every_event_committed_before_it(self):
        """A write on dc=lab held just before its commit; meanwhile a write
        on dc=other commits and dc=other is imported: the FULLSYNC comes
        after both."""
        self.other_backend()
        held = self.add_user("e2e-held")
        quick = "cn=e2e-quick,cn=users,cn=accounts," + OTHER_SUFFIX
        delete_if_present(self.ldap, quick)
        ldif = "/var/lib/dirsrv/slapd-dirmirror/ldif/e2e-other.ldif"
        with open(ldif, "w") as f:
            f.write("dn: %s\nobjectClass: top\nobjectClass: domain\ndc: other\n\n" % OTHER_SUFFIX)
            for dn in ("cn=accounts," + OTHER_SUFFIX, "cn=users,cn=accounts," + OTHER_SUFFIX):
                f.write("dn: %s\nobjectClass: top\nobjectClass: nsContainer\ncn: %s\n\n"
                        % (dn, dn.split(",")[0][3:]))
        os.chmod(ldif, 0o644)
        self.queue.purge()
        mark = log_mark()
        writer = ldap_connect(timeout=30)
        hold = threading.Thread(target=writer.modify_s, args=(
            held, [(ldap.MOD_REPLACE, "description", [b"hold-commit:7000"])]))
        hold.start()
        time.sleep(0.5)
        self.ldap.add_s(quick, [("objectClass", [b"top", b"nsContainer"]), ("cn", [b"e2e-quick"])])
        self.dsconf("backend", "import", "otherRoot", ldif, attempts=2)
        hold.join()
        writer.modify_s(held, [(ldap.MOD_DELETE, "description", None)])  # no hold for the cleanup
        got = self.queue.until(lambda g: any(m.is_fullsync for m in g), timeout=15)
        dns = [m.event().get("dn") or next(iter(m.event().values()))["dn"] for m in got[:-1]]
        self.assertTrue(got[-1].is_fullsync)
        self.assertIn(held, dns)
        self.assertIn(quick, dns)
        self.assertTrue([l for l in lines_since(mark) if l.subsystem == "backend_state"])

    def test_a_message_the_broker_refuses_costs_one_fullsync(self):
        """With the broker's max_message_size at 1 MiB, a 30,000-member
        group's add (1.3 MB) is refused: a FULLSYNC in its place, one line
        with its DN and size, and the next change still arrives."""
        def max_size(size):
            rabbitmqctl("eval", "application:set_env(rabbit, max_message_size, %d)." % size)
            rabbitmqctl("close_all_connections", "the tests change the broker's limits")
        self.addCleanup(self.queue.close)  # after the limit is back: it closes every connection
        max_size(1 << 20)
        self.addCleanup(max_size, 128 << 20)
        self.queue.close()
        members = [user_dn("e2e-m%05d" % i) for i in range(30000)]
        mark = log_mark()
        self.queue.purge(settle=0)
        time.sleep(1)  # the plug-in's next connection has the new limit
        group = self.add_group("e2e-big", members)
        after = self.add_user("e2e-after-big")
        got = self.queue.until(lambda g: any(not m.is_control and m.event().get("dn") == after
                                             for m in g), timeout=40)
        kinds = ["FULLSYNC" if m.is_fullsync else m.event().get("dn") for m in got]
        self.assertEqual(kinds[-2:], ["FULLSYNC", after], kinds)
        self.assertNotIn(group, kinds)
        refused = [l for l in lines_since(mark) if "max_message_size" in l.text]
        self.assertEqual(len(refused), 1, refused)
        self.assertIn(group, refused[0].text)


class BindThenExtendedOperationTest(unittest.TestCase):
    """One worker thread: a bind that ends without its post-bind call (an
    expired password), then a Password Modify on the same thread. The
    password change is published."""

    @classmethod
    def setUpClass(cls):
        broker_start()
        ds_start(extra_env={"DIRMIRROR_DS_FEATURES": "one-worker"})
        cls.queue = Queue()
        cls.ldap = ldap_connect()

    @classmethod
    def tearDownClass(cls):
        cls.queue.close()
        cls.ldap.unbind_s()
        ds_stop()

    def test_password_modify_after_a_bind_that_ended_early(self):
        conn = self.ldap
        expired, changed = user_dn("e2e-expired"), user_dn("e2e-changed")
        for dn in (expired, changed):
            delete_if_present(conn, dn)
            self.addCleanup(delete_if_present, conn, dn)
            conn.add_s(dn, [("objectClass", PERSON), ("uid", [dn[4:].split(",")[0].encode()]),
                            ("cn", [b"x"]), ("sn", [b"x"]), ("userPassword", [b"secret-1"])])
        conn.modify_s("cn=config", [(ldap.MOD_REPLACE, "passwordExp", [b"on"])])
        self.addCleanup(conn.modify_s, "cn=config", [(ldap.MOD_REPLACE, "passwordExp", [b"off"])])
        conn.modify_s(expired, [(ldap.MOD_REPLACE, "passwordExpirationTime", [b"20000101000000Z"])])
        root = ldap.initialize(LDAPI)  # the operation wants a secure connection
        root.sasl_external_bind_s()
        self.queue.purge()
        client = ldap.initialize(LDAP_URI)
        with self.assertRaises(ldap.INVALID_CREDENTIALS):
            client.simple_bind_s(expired, "secret-1")  # "password expired!": no post-bind call
        root.passwd_s(changed, None, "secret-2")
        root.unbind_s()
        got = [m for m in self.queue.drain(quiet=1.5) if not m.is_control]
        changes = {name.lower() for m in got for ev in m.event().values()
                   if ev["dn"] == changed for name in ev["arg"]}
        self.assertIn("userpassword", changes)
