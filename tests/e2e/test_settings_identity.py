"""End-to-end: settings that fail closed, the headers that name a message's
source, and a monitor entry that keeps the broker link to administrators.

Run from this folder with Debian's python:
    DIRMIRROR_PLUGIN=... /usr/bin/python3 -m unittest -v test_settings_identity
"""
import os
import subprocess
import unittest
from pathlib import Path

import ldap

from e2e_support import (LDAP_URI, MONITOR_DN, REPO, SETTINGS, Queue, broker_start, broker_stop,
                         container,
                         delete_if_present, ds_start, ds_stop, ldap_connect, lines_since, log_mark,
                         write_settings)

BROKER = (b"RABBIT_HOST=127.0.0.1\nRABBIT_PORT=%d\nRABBIT_EXCHANGE=dirmirror\n"
          b"RABBIT_ROUTINGKEY=ldap.changes\nRABBIT_USERNAME=guest\nRABBIT_PASSWORD=guest\n"
          % int(os.environ.get("DIRMIRROR_AMQP_PORT", "5672")))
KEEP = {"DIRMIRROR_DS_KEEP_ENV": "1"}
PERSON = [("objectClass", [b"top", b"person", b"organizationalPerson", b"inetOrgPerson"]),
          ("cn", [b"x"]), ("sn", [b"x"])]


def check_settings(path):
    """What the settings check prints for the file: its lines and status."""
    build = os.environ.get("DIRMIRROR_BUILD_DIR")
    tool = (Path(build) / "dirmirror-check-settings" if build
            else REPO / "scripts" / "check-settings")
    r = subprocess.run([str(tool), str(path)], capture_output=True, text=True, timeout=300)
    return r.returncode, r.stdout.splitlines()


class SettingsTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        broker_start()
        cls.saved = SETTINGS.read_bytes()

    @classmethod
    def tearDownClass(cls):
        write_settings(cls.saved)
        ds_stop()

    def start_with(self, settings):
        queue = Queue()
        queue.purge(settle=0)
        write_settings(settings)
        ds_start(extra_env=KEEP)
        self.addCleanup(ds_stop)
        return queue, ldap_connect()

    def test_a_setting_it_cannot_read_stops_the_start(self):
        cases = [  # what, the line, the key the error line names
            ("an unknown switch value", b"RABBIT_TLS=maybe\n", "RABBIT_TLS"),
            ("a key in the wrong case", b"rabbit_tls=on\n", "rabbit_tls"),
            ("a misspelt key", b"RABBIT_TSL=on\n", "RABBIT_TSL")]
        for what, line, key in cases:
            with self.subTest(what):
                write_settings(BROKER + line)
                mark = log_mark()
                with self.assertRaises(RuntimeError):
                    ds_start(extra_env=KEEP)
                logged = ["%s - %s" % (l.subsystem, l.text) for l in lines_since(mark)
                          if l.subsystem in ("initial_config", "get_entry_rodide_init")]
                errors = [l for l in logged if l.startswith("initial_config")]
                self.assertEqual(len(errors), 1, logged)
                self.assertIn(key, errors[0])
                self.assertNotIn("guest", errors[0])
                status, printed = check_settings(SETTINGS)
                self.assertEqual(status, 1)
                self.assertEqual(printed, logged[1:], "the check prints what the plug-in logs")
        ds_stop()

    def test_tls_written_yes_connects_over_tls(self):
        certs = Path(os.environ.get("DIRMIRROR_RUN", "/tmp/dirmirror-run")) / "certs"
        made = subprocess.run([str(REPO / "testbed" / "tls-certs"), str(certs)], check=True,
                              capture_output=True, text=True).stdout.strip()
        self.addCleanup(broker_start)  # without TLS again
        self.addCleanup(broker_stop)
        broker_stop()
        broker_start(extra_env={"DIRMIRROR_TLS_DIR": made, "DIRMIRROR_TLS_PEER_CERT": "optional"})
        queue, conn = self.start_with(
            BROKER.replace(b"RABBIT_HOST=127.0.0.1", b"RABBIT_HOST=localhost")
            .replace(b"RABBIT_PORT=5672", b"RABBIT_PORT=5671")
            + b"RABBIT_TLS=yes\nRABBIT_CACERT=%s/ca.pem\n" % made.encode())
        monitor = {k.lower(): v[0] for k, v in conn.search_s(MONITOR_DN, ldap.SCOPE_BASE)[0][1].items()}
        self.assertEqual((monitor["rabbittls"], monitor["brokernode"]), (b"TRUE", b"localhost:5671"))
        dn = "uid=e2e-tls,%s" % container("users")
        delete_if_present(conn, dn)
        queue.purge()
        conn.add_s(dn, PERSON + [("uid", [b"e2e-tls"])])
        [m] = queue.take(1)
        self.assertEqual(m.event()["dn"], dn)
        conn.delete_s(dn)

    def test_a_spaced_exclusion_list_excludes_every_name(self):
        queue, conn = self.start_with(BROKER + b"EXCLUDE_ATTRIBUTES = userPassword , description\n")
        dn = "uid=e2e-excluded,%s" % container("users")
        delete_if_present(conn, dn)
        queue.purge()
        conn.add_s(dn, PERSON + [("uid", [b"e2e-excluded"]), ("userPassword", [b"secret-1"]),
                                 ("description", [b"private"])])
        [m] = queue.take(1)
        self.assertEqual({t.lower() for t in m.event()["arg"]} & {"userpassword", "description"},
                         set())
        conn.delete_s(dn)

    def test_each_start_has_a_run_id_every_message_names(self):
        runs = []
        for _ in range(3):  # a start, then two restarts
            queue, conn = self.start_with(BROKER)
            got = queue.until(lambda g: any(m.is_alive for m in g), timeout=15, skip_alive=False)
            dn = "uid=e2e-run,%s" % container("users")
            delete_if_present(conn, dn)
            got += queue.drain(skip_alive=False)
            for m in got:
                self.assertEqual(m.headers["format"], "1.0.0", m)
                self.assertTrue(m.headers["origin"].endswith(":3389"), m)
            self.assertEqual(len({m.headers["run_id"] for m in got}), 1, got)
            runs.append(got[0].headers["run_id"])
            queue.close()
        self.assertEqual(len(set(runs)), 3, runs)

    def test_the_monitor_entry_keeps_the_broker_link_to_administrators(self):
        _, root = self.start_with(BROKER)
        anonymous = ldap.initialize(LDAP_URI)
        [(_, seen)] = anonymous.search_s(MONITOR_DN, ldap.SCOPE_BASE)
        self.assertEqual({t.lower() for t in seen} - {"objectclass", "cn"},
                         {"eventspublished", "eventsdropped", "eventsreplayed", "valuesreplaced",
                          "fullsyncspublished", "queuedepth", "queuehighwater", "bufferbytes",
                          "bufferhighwater", "lagseconds"})
        [(_, everything)] = root.search_s(MONITOR_DN, ldap.SCOPE_BASE)
        self.assertLessEqual({"brokernode", "lasterror", "rabbithost", "rabbitusername"},
                             {t.lower() for t in everything})
