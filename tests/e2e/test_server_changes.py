"""End-to-end: the changes the server makes for its clients. The changes its
own plug-ins (memberOf, referential integrity) make inside a write follow
that write, and only if it commits; the Password Modify extended operation's
change is published; the bookkeeping of a bind never is; an online import is
followed by a FULLSYNC.

Run from this folder with Debian's python:
    DIRMIRROR_PLUGIN=... DIRMIRROR_TEST_REFUSER=... /usr/bin/python3 -m unittest -v test_server_changes
"""
import json
import os
import subprocess
import sys
import time
import unittest

import ldap

from e2e_support import (LDAP_URI, Queue, broker_start, container, delete_if_present, ds_start,
                         ds_stop, ldap_connect, lines_since, log_mark)

PERSON = [b"top", b"person", b"organizationalPerson", b"inetOrgPerson"]
LDAPI = "ldapi://%2Fdata%2Frun%2Fslapd-dirmirror.socket"
DSCONF = ["dsconf", "-D", "cn=Directory Manager", "-w",
          os.environ.get("DIRMIRROR_DM_PASSWORD", "dirmirror-admin"), "ldap://127.0.0.1:%s"
          % os.environ.get("DIRMIRROR_LDAP_PORT", "3389")]
# memberOf and referential integrity as identity deployments run them, every
# login recorded, lockout after failed binds, and a plug-in that refuses the
# delete of an entry described "refuse-delete" after the others made their
# changes in it.
SERVER = {"DIRMIRROR_DS_FEATURES": "memberof referint accountpolicy lockout",
          "DIRMIRROR_DS_TEST_PLUGIN": os.environ.get("DIRMIRROR_TEST_REFUSER", "")}
BOOKKEEPING = {"entryid", "parentid", "entrydn", "dsentrydn", "entryuuid", "numsubordinates"}


def user_dn(uid):
    return "uid=%s,%s" % (uid, container("users"))


class ServerChangesTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if not SERVER["DIRMIRROR_DS_TEST_PLUGIN"]:
            raise unittest.SkipTest("DIRMIRROR_TEST_REFUSER names no library (ctest sets it)")
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

    def test_online_import_is_followed_by_a_fullsync(self):
        self.add_user("e2e-import")
        # The directory's own data, exported and imported again where the server may write.
        ldif = "/var/lib/dirsrv/slapd-dirmirror/ldif/e2e-import.ldif"
        self.dsconf("backend", "export", "userRoot", "-l", ldif)
        self.queue.purge()
        mark = log_mark()
        self.dsconf("backend", "import", "userRoot", ldif, attempts=2)
        self.queue.until(lambda g: any(m.is_fullsync for m in g), timeout=15)
        self.assertTrue([l for l in lines_since(mark) if l.subsystem == "backend_state"])
        self.assertTrue(self.ldap.search_s(user_dn("e2e-import"), ldap.SCOPE_BASE))
