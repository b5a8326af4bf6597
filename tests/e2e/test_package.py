"""The Debian package on this machine: installed with dpkg, the plug-in
enabled from the LDIF it installs, its first FULLSYNC seen, the operator's
settings kept through a second install; removed while the server runs and
while it is stopped, the server starts again each time, the settings kept;
everything gone after a purge."""
import os
import stat
import subprocess
import unittest
from pathlib import Path

import ldap

from e2e_support import (DM_DN, DM_PASSWORD, FULLSYNC, LDAP_URI, REPO, SETTINGS, Queue,
                         broker_start, ds_stop, ldap_connect, run_script)

PLUGIN_DN = "cn=dirmirror,cn=plugins,cn=config"
LIBRARY = Path(subprocess.run(["pkg-config", "--variable=libdir", "dirsrv"], capture_output=True,
                              text=True, check=True).stdout.strip()) / "dirsrv/plugins/libdirmirror-plugin.so"
DOCS = Path("/usr/share/doc/dirmirror")


def dpkg(*args):
    return subprocess.run(["dpkg", *args], capture_output=True, text=True, timeout=120,
                          stdin=subprocess.DEVNULL, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


class PackageTest(unittest.TestCase):
    def setUp(self):
        build = os.environ.get("DIRMIRROR_BUILD_DIR", str(REPO / "build"))
        self.deb = run_script("scripts/package", build, timeout=600).splitlines()[-1]
        self.saved_settings = SETTINGS.read_bytes() if SETTINGS.exists() else None
        broker_start()
        ds_stop()
        dpkg("--purge", "dirmirror")
        SETTINGS.unlink(missing_ok=True)

    def tearDown(self):
        ds_stop()
        dpkg("--purge", "dirmirror")
        if self.saved_settings is not None:
            SETTINGS.parent.mkdir(mode=0o755, exist_ok=True)
            SETTINGS.write_bytes(self.saved_settings)
            os.chmod(SETTINGS, 0o600)
            os.chown(SETTINGS, *dirsrv_ids())

    def test_install_enable_and_purge(self):
        self.assertRegex(Path(self.deb).name, r"^dirmirror_[0-9][^_]*_amd64\.deb$")
        installed = dpkg("-i", self.deb)
        self.assertEqual(installed.returncode, 0, installed.stderr)
        ldif = DOCS / "dirmirror-plugin.ldif"
        for path in (LIBRARY, ldif, DOCS / "README.md", DOCS / "docs" / "asyncapi.yaml", SETTINGS,
                     SETTINGS.with_suffix(".env.sample"), Path("/usr/sbin/dirmirror-check-settings")):
            self.assertTrue(path.is_file(), path)
        self.assertNotIn("WARNING", installed.stderr, "the sample settings are good")
        status = SETTINGS.stat()
        self.assertEqual(stat.S_IMODE(status.st_mode), 0o600)
        self.assertEqual((status.st_uid, status.st_gid), dirsrv_ids())
        conffiles = dpkg("--status", "dirmirror").stdout
        self.assertIn("\n %s " % SETTINGS, conffiles)

        # An operator's settings (the test broker's), the plug-in entry from the
        # installed LDIF, then a restart: the server loads the installed library.
        run_script("testbed/ds-start")
        conn = ldap_connect()
        try:
            conn.delete_s(PLUGIN_DN)
        except ldap.NO_SUCH_OBJECT:
            pass
        conn.unbind_s()
        self.enable(ldif)
        queue = Queue()
        try:
            queue.purge()
            run_script("testbed/ds-start", extra_env={"DIRMIRROR_DS_KEEP_PLUGIN_ENTRY": "1",
                                              "DIRMIRROR_DS_KEEP_ENV": "1"})
            first = queue.until(lambda got: len(got) > 0, timeout=30, skip_alive=True)
            self.assertEqual(first[0].body, FULLSYNC)
            conn = ldap_connect()
            [(_, entry)] = conn.search_s(PLUGIN_DN, ldap.SCOPE_BASE)
            self.assertEqual(entry["nsslapd-pluginPath"], [str(LIBRARY).encode()])
            conn.unbind_s()
        finally:
            queue.close()

        # A second install keeps the operator's settings, and warns of a line
        # the plug-in would refuse.
        SETTINGS.write_bytes(SETTINGS.read_bytes() + b"RABBIT_TLS=maybe\n")
        operators = SETTINGS.read_bytes()
        self.assertIn(b"RABBIT_PORT=", operators)
        ds_stop()
        again = dpkg("-i", self.deb)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertEqual(SETTINGS.read_bytes(), operators)
        self.assertIn("dirmirror: WARNING", again.stderr)
        self.assertIn('RABBIT_TLS: "maybe" не распознано', again.stderr)

        # Removed while the server runs, then while it is stopped: the entry
        # goes with the library each time, and the server starts again.
        operators = operators.replace(b"RABBIT_TLS=maybe\n", b"")
        SETTINGS.write_bytes(operators)
        keep = {"DIRMIRROR_DS_KEEP_PLUGIN_ENTRY": "1", "DIRMIRROR_DS_KEEP_ENV": "1"}
        for running in (True, False):
            with self.subTest(server_running_at_removal=running):
                installed = dpkg("-i", self.deb)
                self.assertEqual(installed.returncode, 0, installed.stderr)
                run_script("testbed/ds-start", extra_env=keep)
                conn = ldap_connect()
                try:
                    conn.delete_s(PLUGIN_DN)
                except ldap.NO_SUCH_OBJECT:
                    pass
                conn.unbind_s()
                self.enable(ldif)
                if not running:
                    ds_stop()
                removed = dpkg("-r", "dirmirror")
                self.assertEqual(removed.returncode, 0, removed.stderr)
                self.assertIn("plug-in entry removed from slapd-dirmirror (%s)"
                              % ("running" if running else "stopped"), removed.stderr)
                self.assertFalse(LIBRARY.exists())
                self.assertEqual(SETTINGS.read_bytes(), operators, "the settings stay")
                run_script("testbed/ds-start", extra_env=keep)
                conn = ldap_connect()
                with self.assertRaises(ldap.NO_SUCH_OBJECT):
                    conn.search_s(PLUGIN_DN, ldap.SCOPE_BASE)
                conn.unbind_s()

        purged = dpkg("--purge", "dirmirror")
        self.assertEqual(purged.returncode, 0, purged.stderr)
        for path in (LIBRARY, ldif, SETTINGS, Path("/usr/sbin/dirmirror-check-settings")):
            self.assertFalse(path.exists(), path)

    def enable(self, ldif):
        """The plug-in entry from the installed LDIF, added to the running server."""
        added = subprocess.run(
            ["ldapadd", "-x", "-H", LDAP_URI, "-D", DM_DN, "-w", DM_PASSWORD, "-f", str(ldif)],
            capture_output=True, text=True, timeout=30, stdin=subprocess.DEVNULL)
        self.assertEqual(added.returncode, 0, added.stderr)


def dirsrv_ids():
    import pwd
    user = pwd.getpwnam("dirsrv")
    return user.pw_uid, user.pw_gid


if __name__ == "__main__":
    unittest.main()
