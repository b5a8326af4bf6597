#!/usr/bin/python3
"""Measures what dirmirror costs a 389 Directory Server, on real servers.

Run through scripts/bench, which builds the plug-in and starts the broker. Each
measurement restarts the directory server with and without the plug-in.

  modify   N modifies with the plug-in and without, and N bare publish cycles
           outside the server: the plug-in's added time per event divided by
           the time of one bare cycle.
  group    adds of groups with 10,000 and 100,000 members, with and without.
  load     8 writers for 60 s: every successful change gives exactly its
           events, and the server's memory after warm-up.
"""
import argparse
import json
import os
import platform
import statistics
import subprocess
import threading
import time

import ldap
import ldap.modlist
import pika

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LDAP_URL = "ldap://127.0.0.1:%s" % os.environ.get("DIRMIRROR_LDAP_PORT", "3389")
DM_PASSWORD = os.environ.get("DIRMIRROR_DM_PASSWORD", "dirmirror-admin")
AMQP_PORT = int(os.environ.get("DIRMIRROR_AMQP_PORT", "5672"))
QUEUE = "dirmirror.events"
SETTINGS = "/etc/quorvel/dirmirror.env"
PLUGIN = os.path.join(REPO, "build", "libdirmirror-plugin.so")
CYCLE_BENCH = os.path.join(REPO, "build", "tests", "publish_cycle_bench")
PIDFILE = "/data/run/slapd-dirmirror.pid"
CONTAINERS = ["users", "computers", "orgunits", "groups", "hostgroups"]
# RSS counts as flat when it grows by no more than this from the end of the
# warm-up (the first quarter of the load) to the end.
FLAT_RSS_GROWTH_PCT = 5.0
# Each group add is timed this many times; the median counts.
GROUP_REPEATS = 3


def run(*args, **kwargs):
    return subprocess.run(args, check=True, cwd=REPO, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True, **kwargs).stdout


def start_directory(with_plugin):
    run("scripts/ds-start", *([PLUGIN] if with_plugin else []))
    conn = ldap.initialize(LDAP_URL)
    conn.simple_bind_s("cn=Directory Manager", DM_PASSWORD)
    return conn


def directory_rss_kib():
    with open(PIDFILE) as f:
        pid = f.read().strip()
    with open("/proc/%s/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for ns-slapd")


class QueueCounter(threading.Thread):
    """Counts change events on the queue (control messages aside) and keeps them."""

    def __init__(self):
        super().__init__(daemon=True)
        self.events = []
        self.last_at = None
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        params = pika.ConnectionParameters("127.0.0.1", AMQP_PORT)
        self.connection = pika.BlockingConnection(params)
        self.channel = self.connection.channel()
        self.channel.queue_purge(QUEUE)

    def run(self):
        while not self.stopping.is_set():
            method, _, body = self.channel.basic_get(QUEUE, auto_ack=True)
            if method is None:
                self.connection.sleep(0.01)
                continue
            if body.startswith(b'{"op_type": '):
                continue
            with self.lock:
                self.events.append(body)
                self.last_at = time.monotonic()

    def wait_for(self, count, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self.lock:
                if len(self.events) >= count:
                    return self.last_at
            time.sleep(0.01)
        return None

    def quiet(self, seconds=2.0):
        """Waits until nothing has arrived for `seconds`, then returns all events."""
        while True:
            with self.lock:
                seen = len(self.events)
            time.sleep(seconds)
            with self.lock:
                if len(self.events) == seen:
                    return list(self.events)

    def stop(self):
        self.stopping.set()
        self.join()
        self.connection.close()


def ensure_entry(conn, dn, attrs):
    try:
        conn.delete_s(dn)
    except ldap.NO_SUCH_OBJECT:
        pass
    conn.add_s(dn, ldap.modlist.addModlist(attrs))


def user_attrs(uid):
    return {"objectClass": [b"inetOrgPerson"], "uid": [uid.encode()], "cn": [b"Bench"],
            "sn": [b"Bench"]}


def timed_modifies(conn, dn, count):
    started = time.monotonic()
    for i in range(count):
        conn.modify_s(dn, [(ldap.MOD_REPLACE, "description", [b"value %d" % i])])
    return started, time.monotonic()


def bench_modify(count):
    dn = "uid=bench,cn=users,cn=accounts,dc=lab"
    conn = start_directory(False)
    ensure_entry(conn, dn, user_attrs("bench"))
    timed_modifies(conn, dn, 20)  # warm-up
    started, ended = timed_modifies(conn, dn, count)
    without = ended - started
    conn.unbind_s()

    conn = start_directory(True)
    counter = QueueCounter()
    counter.start()
    timed_modifies(conn, dn, 20)  # warm-up, its events discarded
    counter.wait_for(1, 30)
    counter.quiet()
    with counter.lock:
        counter.events.clear()
    started, ended = timed_modifies(conn, dn, count)
    events = len(counter.quiet())
    with_plugin = counter.last_at - started
    counter.stop()
    conn.unbind_s()

    cycles = json.loads(run(CYCLE_BENCH, SETTINGS, str(events)))
    run("scripts/consume", "--purge")
    added_per_event = (with_plugin - without) / events
    return {
        "modifies": count,
        "events": events,
        "events_per_modify": events / count,
        "seconds_without_plugin": round(without, 3),
        "seconds_with_plugin_until_last_event": round(with_plugin, 3),
        "client_seconds_with_plugin": round(ended - started, 3),
        "added_ms_per_event": round(added_per_event * 1000, 3),
        "bare_cycle_ms": cycles["per_cycle_ms"],
        "ratio": round(added_per_event * 1000 / cycles["per_cycle_ms"], 3),
    }


def group_attrs(name, members):
    return {"objectClass": [b"groupOfNames"], "cn": [name.encode()],
            "member": [b"uid=m%d,cn=users,cn=accounts,dc=lab" % i for i in range(members)]}


def bench_group(sizes):
    results = {}
    for with_plugin in (False, True):
        conn = start_directory(with_plugin)
        # A 100,000-member add is a request of about 4 MB; the default limit is 2 MB.
        # The limit holds for connections made after the change.
        conn.modify_s("cn=config", [(ldap.MOD_REPLACE, "nsslapd-maxbersize", [b"67108864"])])
        conn.unbind_s()
        conn = ldap.initialize(LDAP_URL)
        conn.simple_bind_s("cn=Directory Manager", DM_PASSWORD)
        counter = QueueCounter() if with_plugin else None
        if counter:
            counter.start()
        for size in sizes:
            dn = "cn=big%d,cn=groups,cn=accounts,dc=lab" % size
            attrs = ldap.modlist.addModlist(group_attrs("big%d" % size, size))
            answered, arrived = [], []
            for _ in range(GROUP_REPEATS):
                try:
                    conn.delete_s(dn)
                except ldap.NO_SUCH_OBJECT:
                    pass
                if counter:
                    counter.quiet(1.0)
                    with counter.lock:
                        counter.events.clear()
                started = time.monotonic()
                conn.add_s(dn, attrs)
                answered.append(time.monotonic() - started)
                if counter:
                    arrived.append(counter.wait_for(1, 600) - started)
                conn.delete_s(dn)
            row = results.setdefault(size, {})
            if counter:
                event = json.loads(counter.events[0])
                row["with_plugin_client_s"] = round(statistics.median(answered), 3)
                row["with_plugin_until_event_s"] = round(statistics.median(arrived), 3)
                row["event_members"] = len(event["arg"]["member"])
                row["event_bytes"] = len(counter.events[0])
            else:
                row["without_plugin_s"] = round(statistics.median(answered), 3)
        if counter:
            counter.quiet(1.0)
            counter.stop()
        conn.unbind_s()
    for size, row in results.items():
        row["added_s"] = round(row["with_plugin_until_event_s"] - row["without_plugin_s"], 3)
        row["ratio_until_event"] = round(row["with_plugin_until_event_s"] / row["without_plugin_s"], 3)
    return {str(k): v for k, v in results.items()}


def writer(index, seconds, tally, lock):
    """Adds, modifies and deletes entries under every container; counts the
    events each successful operation must give."""
    conn = ldap.initialize(LDAP_URL)
    conn.simple_bind_s("cn=Directory Manager", DM_PASSWORD)
    expected = 0
    operations = 0
    deadline = time.monotonic() + seconds
    n = 0
    failed = 0

    def attempt(operation, events):
        nonlocal expected, operations, failed
        try:
            operation()
        except ldap.LDAPError:
            failed += 1
            return
        expected += events
        operations += 1

    while time.monotonic() < deadline:
        container = CONTAINERS[n % len(CONTAINERS)]
        name = "w%d-%d-%d" % (os.getpid(), index, n)  # new in every run
        dn = "cn=%s,cn=%s,cn=accounts,dc=lab" % (name, container)
        attrs = {"objectClass": [b"top", b"nsContainer", b"extensibleObject"], "cn": [name.encode()]}
        attempt(lambda: conn.add_s(dn, ldap.modlist.addModlist(attrs)), 1)
        # The client's modification, then the server's modifiersName and modifyTimestamp.
        attempt(lambda: conn.modify_s(dn, [(ldap.MOD_ADD, "description", [b"by %d" % index])]), 3)
        attempt(lambda: conn.delete_s(dn), 1)
        n += 1
    conn.unbind_s()
    with lock:
        tally["expected"] += expected
        tally["operations"] += operations
        tally["failed"] += failed


def limit_caches(conn):
    """Small fixed database and entry caches, so that the server's memory
    settles within the run instead of filling gigabytes of autosized cache.

    The normalized-DN cache is turned off: under a load of always-new DNs it
    grows the server by about 0.4 KB per operation with or without the plug-in,
    even with its size limit at 1 MB (its thread slots grow with every miss),
    and would hide what the plug-in does to the server's memory."""
    conn.modify_s("cn=config", [(ldap.MOD_REPLACE, "nsslapd-ndn-cache-enabled", [b"off"])])
    ldbm = "cn=config,cn=ldbm database,cn=plugins,cn=config"
    # The size is refused while autosizing is on, even in the same request.
    conn.modify_s(ldbm, [(ldap.MOD_REPLACE, "nsslapd-cache-autosize", [b"0"])])
    conn.modify_s(ldbm, [(ldap.MOD_REPLACE, "nsslapd-dbcachesize", [b"16777216"])])
    conn.modify_s("cn=userroot,cn=ldbm database,cn=plugins,cn=config",
                  [(ldap.MOD_REPLACE, "nsslapd-cachememsize", [b"16777216"]),
                   (ldap.MOD_REPLACE, "nsslapd-dncachememsize", [b"8388608"])])


def bench_load(writers, seconds, with_plugin=True):
    conn = start_directory(with_plugin)
    limit_caches(conn)
    conn.unbind_s()
    start_directory(with_plugin).unbind_s()  # the cache sizes take effect at start
    counter = QueueCounter()
    counter.start()
    tally = {"expected": 0, "operations": 0, "failed": 0}
    lock = threading.Lock()
    threads = [threading.Thread(target=writer, args=(i, seconds, tally, lock)) for i in range(writers)]
    rss = []
    started = time.monotonic()
    for t in threads:
        t.start()
    while any(t.is_alive() for t in threads):
        rss.append((round(time.monotonic() - started, 1), directory_rss_kib()))
        time.sleep(5)
    for t in threads:
        t.join()
    events = counter.quiet(3.0)
    counter.stop()
    invalid = 0
    kinds_by_dn = {}
    for body in events:
        try:
            event = json.loads(body.decode("utf-8"))
        except ValueError:
            invalid += 1
            continue
        if "op_type" not in event:  # a modify event sits under its number
            event = next(iter(event.values()))
        kinds_by_dn.setdefault(event["dn"], []).append(event["op_type"])
    # Each writer adds, modifies and deletes one entry after the other; events
    # of one entry that arrive in another order show how far order holds.
    out_of_order = sum(1 for kinds in kinds_by_dn.values()
                       if kinds != ["add"] + ["modify"] * (len(kinds) - 2) + ["delete"])
    after_warm_up = [kib for at, kib in rss if at >= seconds / 4]
    growth_pct = (round(100.0 * (after_warm_up[-1] - after_warm_up[0]) / after_warm_up[0], 2)
                  if len(after_warm_up) > 1 else None)
    return {
        "plugin": with_plugin,
        "writers": writers,
        "seconds": seconds,
        "operations": tally["operations"],
        "failed_operations": tally["failed"],
        "expected_events": tally["expected"],
        "received_events": len(events),
        "invalid_events": invalid,
        "entries": len(kinds_by_dn),
        "entries_with_events_out_of_order": out_of_order,
        "rss_kib": rss,
        "rss_growth_after_warm_up_pct": growth_pct,
        "rss_flat_after_warm_up": growth_pct is not None and growth_pct <= FLAT_RSS_GROWTH_PCT,
    }


def machine():
    with open("/proc/cpuinfo") as f:
        model = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "?")
    return {"cpu": model, "cores": os.cpu_count(), "kernel": platform.release()}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--modifies", type=int, default=500)
    parser.add_argument("--groups", type=int, nargs="+", default=[10000, 100000])
    parser.add_argument("--writers", type=int, default=8)
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--only", choices=["modify", "group", "load"], action="append")
    parser.add_argument("--report", default=os.path.join(REPO, "build", "bench-report.json"))
    args = parser.parse_args()
    only = set(args.only or ["modify", "group", "load"])

    report = {"machine": machine(), "date": time.strftime("%Y-%m-%d %H:%M:%S")}
    if "modify" in only:
        report["modify"] = bench_modify(args.modifies)
        print(json.dumps({"modify": report["modify"]}), flush=True)
    if "group" in only:
        report["group"] = bench_group(args.groups)
        print(json.dumps({"group": report["group"]}), flush=True)
    if "load" in only:
        report["load"] = bench_load(args.writers, args.seconds)
        print(json.dumps({"load": report["load"]}), flush=True)
        # The same load without the plug-in tells the server's own memory growth.
        report["load_without_plugin"] = bench_load(args.writers, args.seconds, with_plugin=False)
        print(json.dumps({"load_without_plugin": report["load_without_plugin"]}), flush=True)
    with open(args.report, "w") as f:
        json.dump(report, f, indent=2)
    print("report written to", args.report)


if __name__ == "__main__":
    main()
