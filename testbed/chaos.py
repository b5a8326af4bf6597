#!/usr/bin/python3
"""Shows that scripts/mirror converges while the servers fail under it.

Each run: the directory server (with the plug-in), the broker and the mirror
consumer are up; several writers make random adds, modifies (value adds and
deletes, whole-attribute deletes, group member changes), deletes, renames and
moves (between containers, out of them and back in) for --seconds, while
faults strike at random moments, at least one of each kind:

  broker_kill     the broker killed with SIGKILL, started again
  broker_restart  the broker stopped (testbed/broker-stop) and started again
  ds_restart      the directory server stopped and started (testbed/ds-start)
  consumer_kill   the consumer killed with SIGKILL, started again

Each FULLSYNC is put down to the fault before the moment it was made (its
timestamp property), or to the run's start: the aim is FULLSYNCs only after
directory restarts, which --fullsync-only-after makes a condition of passing.

With --server-plugins the server's own plug-ins make changes of their own
inside the writers' (memberOf keeping memberOf, referential integrity
removing deleted members), which the mirror must follow too.

Then the writers stop, and once the queue is empty the mirror must equal a
fresh LDAP read of the five containers: same entries (by nsUniqueId), same
DNs, same attributes with the same values. Compared are the attributes a
search for "*" returns plus creatorsName, createTimestamp, modifiersName,
modifyTimestamp and nsUniqueId, the ones add events carry; types without
regard to case, values as sets.

Prints each run's figures and PASS or FAIL; writes them to --report; exits 1
when a run did not converge within --converge-timeout seconds. Leaves the
broker running and the directory server stopped.
"""
import argparse
import json
import os
import random
import signal
import sqlite3
import subprocess
import sys
import threading
import time

import ldap
import ldap.dn
import ldap.modlist
import pika

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUN_DIR = os.environ.get("DIRMIRROR_RUN", "/tmp/dirmirror-run")
BROKER_PIDFILE = os.path.join(RUN_DIR, "rabbitmq", "rabbitmq.pid")
LDAP_URI = "ldap://127.0.0.1:%s" % os.environ.get("DIRMIRROR_LDAP_PORT", "3389")
AMQP_PORT = int(os.environ.get("DIRMIRROR_AMQP_PORT", "5672"))
DM_DN = "cn=Directory Manager"
DM_PASSWORD = os.environ.get("DIRMIRROR_DM_PASSWORD", "dirmirror-admin")
CONTAINERS = ("users", "computers", "orgunits", "groups", "hostgroups")
OUTSIDE = "ou=people,dc=lab"  # where moved-out entries wait to come back
COMPARED_OPERATIONAL = ["creatorsName", "createTimestamp", "modifiersName", "modifyTimestamp",
                        "nsUniqueId"]
FAULTS = ("broker_kill", "broker_restart", "ds_restart", "consumer_kill")
FULLSYNC = b'{"op_type": "FULLSYNC"}'
# Errors after which a write may or may not have happened: reconnect.
CONNECTION_ERRORS = (ldap.SERVER_DOWN, ldap.CONNECT_ERROR, ldap.UNAVAILABLE, ldap.BUSY,
                     ldap.TIMEOUT, ldap.UNWILLING_TO_PERFORM)


def log(*args):
    print(time.strftime("%H:%M:%S"), *args, file=sys.stderr, flush=True)


def container(name):
    return "cn=%s,cn=accounts,dc=lab" % name


def script(name, *args):
    r = subprocess.run([os.path.join(REPO, "testbed", name), *args], capture_output=True,
                       text=True, stdin=subprocess.DEVNULL, timeout=300)
    if r.returncode != 0:
        raise RuntimeError("testbed/%s failed:\n%s" % (name, r.stderr[-3000:]))
    return r.stdout.strip()


def connect(timeout=10.0):
    conn = ldap.initialize(LDAP_URI)
    conn.set_option(ldap.OPT_NETWORK_TIMEOUT, timeout)
    conn.set_option(ldap.OPT_TIMEOUT, 60)
    conn.timeout = 60  # a call the server never answers fails instead of hanging the writer
    conn.simple_bind_s(DM_DN, DM_PASSWORD)
    return conn


def norm_dn(dn):
    return tuple(tuple((t.lower(), v.lower()) for t, v, _ in rdn) for rdn in ldap.dn.str2dn(dn))


# --- writers -------------------------------------------------------------------

class Writer(threading.Thread):
    """Random changes on entries of its own (tagged with employeeNumber so they
    can be found again after an uncertain call); group members are any users."""

    def __init__(self, number, stop, users, seed):
        super().__init__(daemon=True)
        self.name_prefix = "w%d" % number
        self.stop, self.users, self.rng = stop, users, random.Random(seed)
        self.inside = {}   # tag -> dn within the containers
        self.outside = {}  # tag -> dn below OUTSIDE
        self.serial = 0
        self.ok, self.failed = {}, {}
        self.conn = None

    def run(self):
        while not self.stop.is_set():
            if self.conn is None:
                try:
                    self.conn = connect()
                except ldap.LDAPError:
                    time.sleep(0.5)
                    continue
            kind, tag, call = self.pick()
            try:
                call()
                self.ok[kind] = self.ok.get(kind, 0) + 1
            except CONNECTION_ERRORS:
                self.failed[kind] = self.failed.get(kind, 0) + 1
                self.conn = None
                self.refind(tag)
            except ldap.LDAPError:
                self.failed[kind] = self.failed.get(kind, 0) + 1
                self.refind(tag)

    def refind(self, tag):
        """Where the entry is now, after a call whose outcome is unknown."""
        if tag is None:
            return
        self.inside.pop(tag, None)
        self.outside.pop(tag, None)
        for _ in range(100):
            if self.stop.is_set():
                return
            try:
                if self.conn is None:
                    self.conn = connect()
                found = self.conn.search_s("dc=lab", ldap.SCOPE_SUBTREE, "(employeeNumber=%s)" % tag, ["1.1"])
                for dn, _ in found:
                    (self.outside if norm_dn(dn)[-2:] == norm_dn(OUTSIDE) else self.inside)[tag] = dn
                return
            except ldap.LDAPError:
                self.conn = None
                time.sleep(0.5)

    def pick(self):
        r, n = self.rng.random(), len(self.inside)
        if n < 5 or (r < 0.22 and n < 60):
            return self.add()
        if r < 0.30 and n > 10:
            return self.delete()
        if r < 0.42:
            return self.rename()
        if r < 0.45 and self.outside:
            return self.move_in()
        return self.modify()

    def add(self):
        self.serial += 1
        tag = "%s-%d" % (self.name_prefix, self.serial)
        where = self.rng.choice(CONTAINERS)
        dn = "cn=%s,%s" % (tag, container(where))
        attrs = {"objectClass": [b"top", b"extensibleObject"], "cn": [tag.encode()],
                 "employeeNumber": [tag.encode()], "description": [b"made by " + tag.encode()]}
        if where == "users":
            attrs["objectClass"] += [b"person", b"inetOrgPerson"]
            attrs.update(sn=[b"Chaos"], mail=[("%s@lab" % tag).encode()])
        elif where in ("groups", "hostgroups"):
            attrs["objectClass"].append(b"groupOfNames")
            members = self.rng.sample(self.users, min(3, len(self.users)))
            if members:
                attrs["member"] = [m.encode() for m in members]
        else:
            attrs["objectClass"].append(b"organizationalUnit" if where == "orgunits" else b"device")
            if where == "orgunits":
                attrs["ou"] = [tag.encode()]

        def call():
            self.conn.add_s(dn, ldap.modlist.addModlist(attrs))
            self.inside[tag] = dn
            if where == "users":
                self.users.append(dn)
        return "add", tag, call

    def some_entry(self):
        tag = self.rng.choice(sorted(self.inside))
        return tag, self.inside[tag]

    def delete(self):
        tag, dn = self.some_entry()

        def call():
            self.conn.delete_s(dn)
            del self.inside[tag]
        return "delete", tag, call

    def rename(self):
        tag, dn = self.some_entry()
        self.serial += 1
        rdn = "cn=%s-r%d" % (tag, self.serial)
        r = self.rng.random()
        superior = (None if r < 0.5 else OUTSIDE if r < 0.65
                    else container(self.rng.choice(CONTAINERS)))
        parent = superior or ldap.dn.dn2str(ldap.dn.str2dn(dn)[1:])
        new_dn = "%s,%s" % (rdn, parent)
        delold = self.rng.random() < 0.5

        def call():
            self.conn.rename_s(dn, rdn, newsuperior=superior, delold=int(delold))
            del self.inside[tag]
            (self.outside if superior == OUTSIDE else self.inside)[tag] = new_dn
        return "rename", tag, call

    def move_in(self):
        tag = self.rng.choice(sorted(self.outside))
        dn = self.outside[tag]
        superior = container(self.rng.choice(CONTAINERS))
        rdn = ldap.dn.dn2str(ldap.dn.str2dn(dn)[:1])

        def call():
            self.conn.rename_s(dn, rdn, newsuperior=superior, delold=1)
            del self.outside[tag]
            self.inside[tag] = "%s,%s" % (rdn, superior)
        return "move_in", tag, call

    def modify(self):
        tag, dn = self.some_entry()
        rng, stamp = self.rng, "%s-%d" % (tag, rng_int(self.rng))
        choices = [
            [(ldap.MOD_REPLACE, "description", [b"d " + stamp.encode()])],
            [(ldap.MOD_ADD, "description", [b"extra " + stamp.encode()])],
            [(ldap.MOD_DELETE, "description", None)],
            [(ldap.MOD_ADD, "telephoneNumber", [stamp.encode(), b"+1 555 " + stamp[-4:].encode()]),
             (ldap.MOD_REPLACE, "l", [b"room " + stamp.encode()])],
            [(ldap.MOD_DELETE, "telephoneNumber", None)],
        ]
        current = self.current(dn, ["description", "member", "telephoneNumber"])
        for attr, values in current.items():  # delete one particular value
            choices.append([(ldap.MOD_DELETE, attr, [rng.choice(values)])])
        if self.users:
            member = rng.choice(self.users).encode()
            choices.append([(ldap.MOD_ADD, "member", [member])])
            choices.append([(ldap.MOD_ADD, "member", [member]),
                            (ldap.MOD_REPLACE, "description", [b"grown " + stamp.encode()])])
        mods = rng.choice(choices)

        def call():
            self.conn.modify_s(dn, mods)
        return "modify", tag, call

    def current(self, dn, attrs):
        """Some values of the entry, so that value deletes name existing values."""
        try:
            found = self.conn.search_s(dn, ldap.SCOPE_BASE, attrlist=attrs)
        except ldap.LDAPError:
            return {}
        return {a: v for a, v in found[0][1].items() if v} if found else {}


def rng_int(rng):
    return rng.randrange(1_000_000)


# --- the consumer, faults -----------------------------------------------------------

class ConsumerProcess:
    def __init__(self, db, logfile):
        self.db, self.logfile, self.proc = db, logfile, None

    def start(self):
        out = open(self.logfile, "a")
        self.proc = subprocess.Popen([os.path.join(REPO, "scripts", "mirror"), "--db", self.db],
                                     stdout=out, stderr=out, stdin=subprocess.DEVNULL)
        out.close()

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.kill()


def broker_pid():
    with open(BROKER_PIDFILE) as f:
        return int(f.read().strip())


def wait_gone(pid, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with open("/proc/%d/stat" % pid) as f:
                if f.read().rsplit(")", 1)[1].split()[0] in ("Z", "X"):
                    return
        except OSError:
            return
        time.sleep(0.1)


RESTART_RETRIES = []  # the failed starts, reported with the run


def ds_start(plugin, attempts=5):
    """A server that hangs on its way down is killed by ds-stop; its next start
    may then be refused for a while ("already running as process N": the
    killed process not yet reaped). Try again rather than end the run."""
    for attempt in range(attempts):
        try:
            return script("ds-start", plugin)
        except RuntimeError as e:
            if attempt == attempts - 1:
                raise
            RESTART_RETRIES.append(str(e).strip().splitlines()[-1][:300])
            log("ds-start failed, again in 10s: %s" % RESTART_RETRIES[-1])
            time.sleep(10)


CRASHES = []  # times the server was found dead and started again, unasked
CRASH_WALLS = []  # the same, wall-clock: the start then owes a FULLSYNC


def directory_answers():
    try:
        connect(timeout=5).unbind_s()
        return True
    except ldap.LDAPError:
        return False


def revive_directory(plugin, started):
    """A server that died on its own (389 DS 2.3.1 has crashed under this
    load) is started again and reported; the mirror must cope with that too."""
    for _ in range(3):
        if directory_answers():
            return
        time.sleep(2)
    CRASHES.append(round(time.monotonic() - started, 1))
    CRASH_WALLS.append(time.time())
    log("the directory server does not answer: starting it again")
    ds_start(plugin)


def inject(kind, consumer, plugin, rng):
    if kind == "broker_kill":
        pid = broker_pid()
        os.kill(pid, signal.SIGKILL)
        wait_gone(pid)
        time.sleep(rng.uniform(0, 5))
        script("broker-start")
    elif kind == "broker_restart":
        script("broker-stop")
        time.sleep(rng.uniform(0, 5))
        script("broker-start")
    elif kind == "ds_restart":
        ds_start(plugin)
    else:
        consumer.kill()
        time.sleep(rng.uniform(0, 3))
        consumer.start()


class FullsyncWatch(threading.Thread):
    """Notes when each FULLSYNC was made, read from a queue of its own bound
    as the mirror's is, across broker faults; copies count once."""
    QUEUE = "dirmirror.chaos.fullsyncs"

    def __init__(self):
        super().__init__(daemon=True)
        self.made = {}  # message_id: timestamp
        self.done = threading.Event()

    def run(self):
        params = pika.ConnectionParameters(host="127.0.0.1", port=AMQP_PORT, heartbeat=10,
                                           credentials=pika.PlainCredentials("guest", "guest"))
        while not self.done.is_set():
            try:
                conn = pika.BlockingConnection(params)
                ch = conn.channel()
                # Gone ten minutes after its last reader, should a run end early.
                ch.queue_declare(self.QUEUE, durable=True, arguments={"x-expires": 600000})
                ch.queue_bind(self.QUEUE, "dirmirror", "ldap.changes")
                for method, props, body in ch.consume(self.QUEUE, inactivity_timeout=0.5):
                    if self.done.is_set():
                        break
                    if method is not None:
                        if body == FULLSYNC:
                            self.made.setdefault(props.message_id, props.timestamp)
                        ch.basic_ack(method.delivery_tag)
                conn.close()
            except (pika.exceptions.AMQPError, OSError):
                time.sleep(0.5)

    def stop(self):
        self.done.set()
        self.join(10)


def fullsyncs_by_fault(made, faults, crash_walls=()):
    """FULLSYNC timestamps put down to the last fault begun by then
    (`faults`: kind and wall-clock start), to "ds_crash" when the server was
    started again after dying on its own, or to "start"."""
    events = sorted(list(faults) + [{"kind": "ds_crash", "wall": w} for w in crash_walls],
                    key=lambda e: e["wall"])
    counts = {}
    for at in made:
        kind = "start"
        for fault in events:
            if int(fault["wall"]) <= at:
                kind = fault["kind"]
        counts[kind] = counts.get(kind, 0) + 1
    return counts


# --- the comparison ------------------------------------------------------------------

def directory_state():
    conn = connect()
    state = {}
    for name in CONTAINERS:
        for dn, attrs in conn.search_s(container(name), ldap.SCOPE_SUBTREE, "(objectClass=*)",
                                       ["*"] + COMPARED_OPERATIONAL):
            values = {t.lower(): frozenset(v.decode("utf-8", "replace") for v in vs)
                      for t, vs in attrs.items()}
            state[next(iter(values["nsuniqueid"]))] = (norm_dn(dn), values)
    conn.unbind_s()
    return state


def mirror_state(db):
    conn = sqlite3.connect("file:%s?mode=ro" % db, uri=True, timeout=30)
    rows = conn.execute("SELECT key, dn, attrs FROM entries").fetchall()
    stats = dict(conn.execute("SELECT name, value FROM stats"))
    conn.close()
    state = {key: (norm_dn(dn), {t.lower(): frozenset(v) for t, v in json.loads(attrs).items()})
             for key, dn, attrs in rows}
    return state, stats


def differences(directory, mirror, limit=20):
    out = []
    for key in sorted(set(directory) | set(mirror)):
        d, m = directory.get(key), mirror.get(key)
        if d is None or m is None:
            out.append({"entry": key, "only_in": "directory" if m is None else "mirror",
                        "dn": ",".join("=".join(p) for rdn in (d or m)[0] for p in rdn)})
        elif d != m:
            attrs = sorted(t for t in set(d[1]) | set(m[1]) if d[1].get(t) != m[1].get(t))
            out.append({"entry": key, "dn_differs": d[0] != m[0],
                        "attributes": {t: {"directory": sorted(d[1].get(t, ())),
                                           "mirror": sorted(m[1].get(t, ()))} for t in attrs}})
        if len(out) >= limit:
            break
    return out


def queue_ready():
    conn = pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", AMQP_PORT))
    try:
        return conn.channel().queue_declare("dirmirror.events", passive=True).method.message_count
    finally:
        conn.close()


# --- one run ---------------------------------------------------------------------------

def clean_directory():
    """Removes what earlier runs left in the containers and outside."""
    conn = connect()
    doomed = []
    for base in [container(c) for c in CONTAINERS] + [OUTSIDE]:
        doomed += [dn for dn, _ in conn.search_s(base, ldap.SCOPE_ONELEVEL, "(objectClass=*)", ["1.1"])]
    for dn in doomed:
        conn.delete_s(dn)
    conn.unbind_s()
    return len(doomed)


def one_run(number, args, plugin, rng):
    log("run %d: %ds, %d writers" % (number, args.seconds, args.writers))
    script("broker-start")
    RESTART_RETRIES.clear()
    CRASHES.clear()
    CRASH_WALLS.clear()
    ds_start(plugin)
    clean_directory()
    conn = pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", AMQP_PORT))
    conn.channel().queue_purge("dirmirror.events")
    conn.channel().queue_delete(FullsyncWatch.QUEUE)
    conn.close()
    watch = FullsyncWatch()
    watch.start()
    work = os.path.join(os.path.dirname(os.path.abspath(args.report)), "chaos")
    os.makedirs(work, exist_ok=True)
    db = os.path.join(work, "run-%d.db" % number)
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(db + suffix):
            os.remove(db + suffix)
    consumer = ConsumerProcess(db, os.path.join(work, "run-%d.log" % number))
    consumer.start()

    stop, users = threading.Event(), []
    writers = [Writer(i, stop, users, rng.random()) for i in range(args.writers)]
    try:
        return faults_and_check(number, args, plugin, rng, consumer, db, stop, writers, watch)
    finally:
        stop.set()
        consumer.stop()
        watch.stop()


def faults_and_check(number, args, plugin, rng, consumer, db, stop, writers, watch):
    started = time.monotonic()
    for w in writers:
        w.start()
    # Fault moments: spread over the run, leaving its end for the writers alone.
    count = max(len(FAULTS), args.faults if args.faults is not None else args.seconds // 20)
    kinds = rng.sample(FAULTS, len(FAULTS)) + [rng.choice(FAULTS) for _ in range(count - len(FAULTS))]
    moments = sorted(rng.uniform(0.1, 0.85) * args.seconds for _ in kinds)
    faults = []
    for kind, at in zip(kinds, moments):
        time.sleep(max(0.0, started + at - time.monotonic()))
        t0, wall = time.monotonic(), time.time()
        inject(kind, consumer, plugin, rng)
        faults.append({"kind": kind, "at_s": round(t0 - started, 1),
                       "took_s": round(time.monotonic() - t0, 1), "wall": wall})
        log("run %d: %s at %.0fs (%.1fs)" % (number, kind, t0 - started, time.monotonic() - t0))
        revive_directory(plugin, started)
    time.sleep(max(0.0, started + args.seconds - time.monotonic()))
    stop.set()
    for w in writers:
        w.join()
    ended = time.monotonic()
    ok = {k: sum(w.ok.get(k, 0) for w in writers) for k in ("add", "modify", "delete", "rename", "move_in")}
    # Refused calls (a value already there, an entry renamed meanwhile) and
    # those the faults cut off: they may or may not have happened.
    failed = {k: sum(w.failed.get(k, 0) for w in writers) for k in ok}
    log("run %d: writers stopped: %s, failed calls: %s" % (number, ok, failed))

    # Converged: the queue is empty and the mirror equals the directory, twice
    # in a row a second apart (a FULLSYNC being read could otherwise pass).
    converged_at, diff, stats, streak = None, [], {}, 0
    revive_directory(plugin, started)
    while time.monotonic() - ended < args.converge_timeout:
        mirror, stats = mirror_state(db)
        try:
            diff = differences(directory_state(), mirror)
        except ldap.LDAPError:
            revive_directory(plugin, started)
            streak, converged_at = 0, None
            continue
        if not diff and queue_ready() == 0:
            streak += 1
            if converged_at is None:
                converged_at = time.monotonic()
            if streak >= 2:
                break
        else:
            streak, converged_at = 0, None
        time.sleep(1)
    consumer.stop()
    watch.stop()
    mirror, stats = mirror_state(db)
    by_fault = fullsyncs_by_fault(watch.made.values(), faults, CRASH_WALLS)
    # Every start of the plug-in owes a FULLSYNC, a start after a crash too.
    allowed = {"start", "ds_crash"} | set(args.fullsync_only_after or FAULTS)
    unexpected = {kind: n for kind, n in by_fault.items() if kind not in allowed}
    for fault in faults:
        del fault["wall"]
    result = {
        "run": number, "seconds": args.seconds, "writers": args.writers,
        "operations": ok, "operations_total": sum(ok.values()), "failed_calls": failed,
        "faults": faults, "fullsyncs": stats.get("fullsyncs", 0),
        "full_reads": stats.get("full_reads", 0), "seq_gaps": stats.get("seq_gaps", 0),
        "events_applied": stats.get("events_applied", 0), "entries": len(mirror),
        "fullsyncs_by_fault": by_fault, "unexpected_fullsyncs": unexpected,
        "converged": streak >= 2,
        "seconds_to_converge": round(converged_at - ended, 1) if streak >= 2 else None,
        "ds_start_retries": list(RESTART_RETRIES),
        "ds_crashes_at_s": list(CRASHES),
        "differences": diff,
    }
    result["pass"] = result["converged"] and not unexpected
    log("run %d: FULLSYNCs by fault %s" % (number, by_fault))
    log("run %d: %s" % (number, ("FAIL: FULLSYNC after %s" % unexpected) if result["converged"] and unexpected
                        else "PASS: converged in %.1fs" % result["seconds_to_converge"]
                        if result["converged"] else "FAIL: %d+ entries differ" % len(diff)))
    return result


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--runs", type=int, default=1)
    p.add_argument("--seconds", type=int, default=300, help="writing time per run")
    p.add_argument("--writers", type=int, default=4)
    p.add_argument("--faults", type=int, help="faults per run (default: one per 20 s, at least 3)")
    p.add_argument("--converge-timeout", type=int, default=300)
    p.add_argument("--seed", type=int, help="for a repeatable choice of operations and faults")
    p.add_argument("--server-plugins", default="",
                   help="the server's plug-ins to turn on, comma-separated: memberof, referint")
    p.add_argument("--fullsync-only-after", action="append", choices=FAULTS,
                   help="a run fails when a FULLSYNC follows another kind of fault (repeatable)")
    p.add_argument("--report", default=os.path.join(REPO, "build", "chaos-report.json"))
    args = p.parse_args()
    # testbed/ds-start turns them on at every start of the run, the restarts too.
    os.environ["DIRMIRROR_DS_FEATURES"] = args.server_plugins
    plugin = os.path.abspath(os.environ.get("DIRMIRROR_PLUGIN")
                             or os.path.join(REPO, "build", "libdirmirror-plugin.so"))
    seed = args.seed if args.seed is not None else random.randrange(1 << 32)
    rng = random.Random(seed)
    report = {"date": time.strftime("%Y-%m-%d %H:%M:%S"), "seed": seed,
              "server_plugins": args.server_plugins, "runs": []}
    try:
        for n in range(1, args.runs + 1):
            report["runs"].append(one_run(n, args, plugin, rng))
            print(json.dumps({k: v for k, v in report["runs"][-1].items() if k != "differences"}),
                  flush=True)
    finally:
        script("ds-stop")
        script("broker-start")  # whatever a fault left, the broker stays up
        report["pass"] = bool(report["runs"]) and all(r["pass"] for r in report["runs"])
        os.makedirs(os.path.dirname(os.path.abspath(args.report)), exist_ok=True)
        with open(args.report, "w") as f:
            json.dump(report, f, indent=2)
    print("%s: %d of %d runs passed (seed %d); report in %s"
          % ("PASS" if report["pass"] else "FAIL", sum(r["pass"] for r in report["runs"]),
             args.runs, seed, args.report))
    return 0 if report["pass"] else 1


if __name__ == "__main__":
    sys.exit(main())
