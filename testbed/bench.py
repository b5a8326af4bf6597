#!/usr/bin/python3
"""Measures what dirmirror costs a 389 Directory Server, on real servers, and
whether its events arrive complete and in the order the directory committed
the changes.

Run through testbed/bench, which builds the plug-in and starts the broker.
Each measurement restarts the directory server with and without the plug-in.

  load    8 writers for 60 s, each adding, modifying and deleting fresh
          entries under cn=users, with the plug-in and without (in 3
          alternating rounds of 20 s): operations per second, and every
          completed call's events in the queue, complete and in commit order.
  modify  3,000 modifies by one client, one after the other, with and without
          (in 3 alternating rounds): the mean time of one modify.
  group   the add of a 100,000-member group, with and without (median of 3):
          the client's wait, and apart from it when the event arrives.
  outage  the broker stopped for 30 s under the 8-writer load: operations per
          second during the outage against the same load without the plug-in
          (the median of the load's rounds and one run right before), the
          server's memory over the outage, and a
          FULLSYNC ahead of every event made after the broker came back.
  kill    the broker killed (kill -9) under the load and started again: every
          event that did not arrive is followed by a FULLSYNC before the
          stream goes on.

Targets are reported, each with pass or fail, in the report; nothing here
fails on a missed target. During each load a consumer process reads the queue
as a service would, so the broker holds no backlog; the first 10 s of a load
after the server's start are not counted in its throughput.
"""
import argparse
import json
import multiprocessing
import os
import pickle
import platform
import statistics
import subprocess
import sys
import threading
import time

import ldap
import ldap.modlist

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import change_order  # noqa: E402
from e2e_support import QUEUE, Message, Queue, ldap_connect  # noqa: E402

PLUGIN = os.environ.get("DIRMIRROR_PLUGIN") or os.path.join(REPO, "build", "libdirmirror-plugin.so")
RUN_DIR = os.environ.get("DIRMIRROR_RUN", "/tmp/dirmirror-run")
PIDFILE = "/data/run/slapd-dirmirror.pid"
BROKER_PIDFILE = os.path.join(RUN_DIR, "rabbitmq", "rabbitmq.pid")
MEASUREMENTS = ["load", "modify", "group", "outage", "kill"]
# RSS counts as flat when it grows by no more than this over the window.
FLAT_RSS_GROWTH_PCT = 5.0
GROUP_REPEATS = 3
THROUGHPUT_RATIO_MIN = 0.90
TIME_RATIO_MAX = 1.10


def log(*args):
    print(time.strftime("%H:%M:%S"), *args, file=sys.stderr, flush=True)


def run(*args):
    return subprocess.run(args, check=True, cwd=REPO, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True).stdout


def connect():
    return ldap_connect(timeout=120.0)


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
    # A 100,000-member add is a request of about 4 MB; the default limit is 2 MB.
    conn.modify_s("cn=config", [(ldap.MOD_REPLACE, "nsslapd-maxbersize", [b"67108864"])])


# With --split-cores: the CPU the directory server runs on alone; everything
# else (broker, writers, consumer) runs on the others.
DIRECTORY_CPU = None


def split_cores():
    """Gives the directory server a core of its own, as if the broker and the
    clients ran on other hosts: this process and all it starts (the broker
    included) keep off it; the server is moved onto it after each start."""
    global DIRECTORY_CPU
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) < 2:
        raise SystemExit("--split-cores needs two CPUs")
    DIRECTORY_CPU = cpus[0]
    os.sched_setaffinity(0, cpus[1:])
    others = ",".join(map(str, cpus[1:]))
    with open(BROKER_PIDFILE) as f:
        run("taskset", "-a", "-cp", others, f.read().strip())


def start_directory(with_plugin):
    """(Re)starts the server, its caches limited (the sizes take effect at a
    start); returns a bound connection."""
    args = ["testbed/ds-start"] + ([PLUGIN] if with_plugin else [])
    run(*args)
    conn = connect()
    limit_caches(conn)
    conn.unbind_s()
    run(*args)
    if DIRECTORY_CPU is not None:
        with open(PIDFILE) as f:
            run("taskset", "-a", "-cp", str(DIRECTORY_CPU), f.read().strip())
    return connect()


def directory_rss_kib():
    with open(PIDFILE) as f:
        pid = f.read().strip()
    with open("/proc/%s/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for ns-slapd")


def growth_pct(samples):
    return (round(100.0 * (samples[-1] - samples[0]) / samples[0], 2)
            if len(samples) > 1 else None)


def settle(queue, quiet=3.0):
    """Waits until the queue has stopped growing for `quiet` seconds."""
    last_change = time.monotonic()
    count = queue.count()
    while time.monotonic() - last_change < quiet:
        time.sleep(0.2)
        now = queue.count()
        if now != count:
            count, last_change = now, time.monotonic()


def rate(ops, start, end):
    """Operations answered per second between two monotonic times."""
    return sum(1 for op in ops if start <= op.returned < end) / (end - start)


def cpu_seconds(pid=None, pidfile=None):
    """CPU time of a process (by pid or pid file) so far, None when gone."""
    try:
        if pidfile:
            with open(pidfile) as f:
                pid = f.read().strip()
        with open("/proc/%s/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def machine_busy_seconds():
    """CPU time all cores spent busy so far (everything but idle and iowait)."""
    with open("/proc/stat") as f:
        ticks = [int(x) for x in f.readline().split()[1:]]
    return (sum(ticks) - ticks[3] - ticks[4]) / os.sysconf("SC_CLK_TCK")


class CpuUse:
    """CPU seconds over a stretch: the directory server, the broker, this
    bench (its writers and consumer), and the whole machine; what is left is
    other processes' and the kernel's (loopback networking, for one)."""

    def __init__(self, consumer=None):
        self.consumer = consumer
        self.broker = self._broker_pid()
        self.begin = self._now()

    @staticmethod
    def _broker_pid():
        try:
            with open(BROKER_PIDFILE) as f:
                return f.read().strip()
        except OSError:
            return None

    def _now(self):
        bench = time.process_time() + (cpu_seconds(self.consumer.process.pid) or 0.0
                                       if self.consumer else 0.0)
        return [cpu_seconds(pidfile=PIDFILE), cpu_seconds(self.broker), bench,
                machine_busy_seconds()]

    def end(self):
        d = [None if a is None or b is None else b - a for a, b in zip(self.begin, self._now())]
        if self._broker_pid() != self.broker:
            d[1] = None  # the broker was restarted meanwhile
        out = {"ns-slapd": d[0], "broker": d[1], "bench": d[2], "machine": d[3]}
        if None not in d:
            out["other_processes_and_kernel"] = d[3] - d[0] - d[1] - d[2]
        return {k: None if v is None else round(v, 1) for k, v in out.items()}


def _consume(stop, count, last_at, path):
    """The consumer process: reads the queue while the load runs, as a
    service would, so the broker never holds a backlog; connects again after
    an outage. Acknowledges in batches; a message the broker delivers again
    after a reconnection is kept once (by its message_id). Writes what it got
    to `path` once `stop` is set and nothing more comes."""
    got, seen = [], set()
    while True:
        try:
            ch = Queue()._ch()
            ch.basic_qos(prefetch_count=1000)
            pending = None
            for method, props, body in ch.consume(QUEUE, inactivity_timeout=0.5):
                if method is None:
                    if pending:
                        ch.basic_ack(pending, multiple=True)
                        pending = None
                    if stop.is_set():
                        break
                    continue
                m = Message(body, props, check_contract=False)  # the check would take CPU from the load
                if not (method.redelivered and m.message_id in seen):
                    got.append(m)
                    seen.add(m.message_id)
                    count.value, last_at.value = len(got), m.at
                pending = method.delivery_tag
                if method.delivery_tag % 200 == 0:
                    ch.basic_ack(pending, multiple=True)
                    pending = None
            break
        except Exception:  # the broker went away: connect again
            if stop.is_set():
                break
            time.sleep(0.5)
    with open(path, "wb") as f:
        pickle.dump(got, f)


class Consumer:
    """A consumer process beside the load (a thread would take the writers'
    interpreter lock)."""

    def __init__(self):
        ctx = multiprocessing.get_context("fork")
        self.stop, self.count, self.last_at = ctx.Event(), ctx.Value("q", 0), ctx.Value("d", 0.0)
        self.path = "/tmp/dirmirror-bench-%d.pickle" % os.getpid()
        self.process = ctx.Process(target=_consume, args=(self.stop, self.count, self.last_at, self.path))
        self.process.start()

    def finish(self, queue, quiet=3.0):
        """Once the queue is empty and nothing came for `quiet` seconds: the
        messages, and when the last one came (monotonic)."""
        seen, since = -1, time.monotonic()
        while time.monotonic() - since < quiet:
            time.sleep(0.2)
            if self.count.value != seen or queue.count() > 0:
                seen, since = self.count.value, time.monotonic()
        self.stop.set()
        self.process.join()
        with open(self.path, "rb") as f:
            messages = pickle.load(f)
        os.unlink(self.path)
        return messages, self.last_at.value


def load_run(queue, with_plugin, writers, seconds, scenario=None, warm_up=10):
    """The writers' load on a fresh server start, measured after `warm_up`
    seconds. `scenario(marks, stop)` runs beside it (broker stop, kill, ...),
    writing monotonic times into `marks`; with one the writers run until it
    sets `stop`. Returns the figures, the calls, the RSS samples, the marks,
    and with the plug-in the queue's messages and the faults found in them."""
    start_directory(with_plugin).unbind_s()
    consumer = None
    if with_plugin:
        queue.purge()
        queue.close()
        consumer = Consumer()
    marks, stop, rss = {}, threading.Event(), []
    sampling = threading.Event()

    def sample():
        while not sampling.is_set():
            rss.append((time.monotonic(), directory_rss_kib()))
            sampling.wait(1.0)

    wall = time.time()
    threading.Thread(target=sample, daemon=True).start()
    started = time.monotonic()
    cpu = CpuUse(consumer)
    helper = None
    if scenario:
        helper = threading.Thread(target=scenario, args=(marks, stop))
        helper.start()
    ops, failed = change_order.run_writers(connect, writers, 3600 if scenario else warm_up + seconds,
                                           "b%d-%d" % (os.getpid(), time.time()), stop=stop)
    ended = time.monotonic()
    cpu = cpu.end()
    if helper:
        helper.join()
    sampling.set()
    measured = [kib for at, kib in rss if at - started >= warm_up]
    figures = {
        "plugin": with_plugin,
        "writers": writers,
        "seconds": round(ended - started, 1),
        "warm_up_s": warm_up,
        "operations": len(ops),
        "failed_operations": failed,
        "ops_per_s": round(rate(ops, started + warm_up, ended), 1),
        "cpu_s": cpu,
        "slapd_cpu_ms_per_op": round(1000 * cpu["ns-slapd"] / len(ops), 3) if ops else None,
        "rss_kib": [(round(at - started, 1), kib) for at, kib in rss][::5],
        "rss_growth_after_warm_up_pct": growth_pct(measured),
        "marks_s": {k: round(v - started, 1) for k, v in marks.items()},
    }
    messages, faults = None, None
    if with_plugin:
        messages, last_at = consumer.finish(queue)
        figures["last_event_after_writers_s"] = round(last_at - ended, 2)
        result, faults = change_order.check(messages, ops, wall=(wall, time.time()))
        figures.update(result)
        figures["faults"] = change_order.summary(faults)
        figures["fault_counts"] = {k: len(v) for k, v in faults.items()}
    return figures, ops, rss, marks, messages, faults


def bench_load(queue, writers, seconds, rounds):
    """`seconds` of load with the plug-in and as many without, in `rounds`
    alternating rounds, so that a change in what else the machine does
    weighs on both alike."""
    runs = {True: [], False: []}
    for i in range(rounds):
        for with_plugin in ((True, False) if i % 2 == 0 else (False, True)):
            figures, *_ = load_run(queue, with_plugin, writers, seconds / rounds)
            runs[with_plugin].append(figures)
            log("load round %d %s the plug-in: %.1f ops/s" % (
                i + 1, "with" if with_plugin else "without", figures["ops_per_s"]),
                figures.get("faults", ""))
    mean = {k: round(statistics.mean(f["ops_per_s"] for f in v), 1) for k, v in runs.items()}
    counts = {}
    for f in runs[True]:
        for k, v in f["fault_counts"].items():
            counts[k] = counts.get(k, 0) + v
    return {
        "rounds": rounds,
        "measured_seconds_per_round": seconds / rounds,
        "ops_per_s_with_plugin": mean[True],
        "ops_per_s_without_plugin": mean[False],
        "throughput_ratio": round(mean[True] / mean[False], 3),
        "operations_with_plugin": sum(f["operations"] for f in runs[True]),
        "expected_events": sum(f["expected_events"] for f in runs[True]),
        "received_events": sum(f["received_events"] for f in runs[True]),
        "fault_counts": counts,
        "with_plugin": runs[True],
        "without_plugin": runs[False],
    }


def timed_modifies(conn, dn, count, ops=None):
    for i in range(count):
        tag = "value %d %f" % (i, time.time())
        sent = time.monotonic()
        conn.modify_s(dn, [(ldap.MOD_REPLACE, "description", [tag.encode()])])
        if ops is not None:
            ops.append(change_order.Op(dn, "modify", tag, sent, time.monotonic()))


def bench_modify(queue, count, rounds):
    """`count` modifies with the plug-in and as many without, in `rounds`
    alternating rounds; the mean time of one modify each way."""
    dn = "uid=bench,cn=users,cn=accounts,dc=lab"
    times = {True: [], False: []}
    row = {"modifies": count, "rounds": rounds, "until_last_event_s": [], "faults": {}}
    for i in range(rounds):
        for with_plugin in ((False, True) if i % 2 == 0 else (True, False)):
            conn = start_directory(with_plugin)
            try:
                conn.delete_s(dn)
            except ldap.NO_SUCH_OBJECT:
                pass
            conn.add_s(dn, ldap.modlist.addModlist({
                "objectClass": [b"inetOrgPerson"], "uid": [b"bench"], "cn": [b"Bench"],
                "sn": [b"Bench"]}))
            timed_modifies(conn, dn, 20)  # warm-up
            if with_plugin:
                settle(queue, quiet=1.0)
                queue.purge()
            ops, wall = [], time.time()
            timed_modifies(conn, dn, count // rounds + (i < count % rounds), ops)
            times[with_plugin] += [op.returned - op.sent for op in ops]
            if with_plugin:
                expected = len(ops) * change_order.MODIFY_EVENTS
                while queue.count() < expected and time.monotonic() - ops[-1].returned < 120:
                    time.sleep(0.005)
                row["until_last_event_s"].append(round(time.monotonic() - ops[0].sent, 3))
                _, faults = change_order.check(queue.consume_all(quiet=1.0), ops,
                                               wall=(wall, time.time()))
                row["faults"].update(change_order.summary(faults))
            conn.unbind_s()
    row["mean_ms_with_plugin"] = round(statistics.mean(times[True]) * 1000, 3)
    row["mean_ms_without_plugin"] = round(statistics.mean(times[False]) * 1000, 3)
    row["median_ms_with_plugin"] = round(statistics.median(times[True]) * 1000, 3)
    row["median_ms_without_plugin"] = round(statistics.median(times[False]) * 1000, 3)
    row["mean_ratio"] = round(row["mean_ms_with_plugin"] / row["mean_ms_without_plugin"], 3)
    return row


def bench_group(queue, members):
    dn = "cn=big%d,cn=groups,cn=accounts,dc=lab" % members
    attrs = ldap.modlist.addModlist({
        "objectClass": [b"groupOfNames"], "cn": [b"big%d" % members],
        "member": [b"uid=m%d,cn=users,cn=accounts,dc=lab" % i for i in range(members)]})
    row = {"members": members, "repeats": GROUP_REPEATS}
    for with_plugin in (False, True):
        conn = start_directory(with_plugin)
        answered, arrived = [], []
        for _ in range(GROUP_REPEATS):
            try:
                conn.delete_s(dn)
            except ldap.NO_SUCH_OBJECT:
                pass
            if with_plugin:
                settle(queue, quiet=1.0)
                queue.purge(settle=0)
            started = time.monotonic()
            conn.add_s(dn, attrs)
            answered.append(time.monotonic() - started)
            if with_plugin:
                m = None
                while m is None or m.is_alive:
                    if time.monotonic() - started > 600:
                        raise RuntimeError("no event for the group add")
                    m = queue.get()
                    if m is None:
                        time.sleep(0.002)
                arrived.append(m.at - started)
                event = m.event()
                row["event_members"] = len(event["arg"]["member"])
                row["event_bytes"] = len(m.body)
            conn.delete_s(dn)
        conn.unbind_s()
        key = "with_plugin" if with_plugin else "without_plugin"
        row["client_s_" + key] = round(statistics.median(answered), 3)
        if with_plugin:
            row["until_event_s_with_plugin"] = round(statistics.median(arrived), 3)
    row["client_ratio"] = round(row["client_s_with_plugin"] / row["client_s_without_plugin"], 3)
    return row


def stream_after(messages, ops, marks):
    """Whether a FULLSYNC comes ahead of the events of every call sent after
    the broker was back (marks["up"]), and, after a stop, how many calls made
    wholly while the broker was gone had their events published (none should:
    the FULLSYNC stands for them)."""
    found, fullsyncs = change_order.positions(messages)
    later = [found[op.key()] for op in ops if op.sent > marks["up"] and op.key() in found]
    figures = {
        "fullsync_before_later_events": bool(fullsyncs) and (not later or fullsyncs[0] < min(later)),
        "calls_after_return": sum(1 for op in ops if op.sent > marks["up"]),
    }
    if "down" in marks:
        figures["calls_during_outage"] = sum(
            1 for op in ops if op.sent > marks["down"] and op.returned < marks["start"])
        figures["calls_during_outage_with_events"] = sum(
            1 for op in ops
            if op.sent > marks["down"] and op.returned < marks["start"] and op.key() in found)
    return figures


def bench_outage(queue, writers, before, outage, after, baselines):
    """`baselines`: the rates of the load without the plug-in measured so far;
    one more is measured right before, as long as the outage, and the
    median of them all is what the outage is held against."""
    baselines = baselines + [load_run(queue, False, writers, outage)[0]["ops_per_s"]]
    baseline = statistics.median(baselines)

    def scenario(marks, stop):
        time.sleep(before)
        marks["stop"] = time.monotonic()
        run("testbed/broker-stop")
        marks["down"] = time.monotonic()
        time.sleep(outage)
        marks["start"] = time.monotonic()
        run("testbed/broker-start")
        marks["up"] = time.monotonic()
        time.sleep(after)
        stop.set()

    figures, ops, rss, marks, messages, _ = load_run(queue, True, writers, None, scenario)
    during = rate(ops, marks["down"], marks["start"])
    window = [kib for at, kib in rss if marks["down"] <= at <= marks["start"]]
    figures.update({
        "ops_per_s_during_outage": round(during, 1),
        "ops_per_s_without_plugin": baseline,
        "ops_per_s_without_plugin_runs": baselines,
        "throughput_ratio": round(during / baseline, 3),
        "rss_kib_during_outage": [window[0], window[-1]] if window else None,
        "rss_growth_during_outage_pct": growth_pct(window),
        "rss_flat": growth_pct(window) is not None and growth_pct(window) <= FLAT_RSS_GROWTH_PCT,
    })
    figures.update(stream_after(messages, ops, marks))
    log("outage:", figures["ops_per_s_during_outage"], "ops/s during it, faults:", figures["faults"])
    return figures


def bench_kill(queue, writers, before, after):
    def scenario(marks, stop):
        time.sleep(before)
        with open(BROKER_PIDFILE) as f:
            pid = int(f.read().strip())
        marks["kill"] = time.monotonic()
        os.kill(pid, 9)
        run("testbed/broker-start")
        marks["up"] = time.monotonic()
        time.sleep(after)
        stop.set()

    figures, ops, _, marks, messages, faults = load_run(queue, True, writers, None, scenario)
    figures.update(stream_after(messages, ops, marks))
    lost = faults["missing"] + faults["incomplete"]
    figures["missing_or_incomplete"] = len(lost)
    # Answered a second or more before the kill: the broker had long confirmed them.
    figures["missing_answered_1s_before_kill"] = sum(
        1 for op in lost if op.returned < marks["kill"] - 1.0)
    log("kill:", figures["missing_or_incomplete"], "calls without their events, faults:", figures["faults"])
    return figures


def machine():
    with open("/proc/cpuinfo") as f:
        model = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "?")
    with open("/proc/meminfo") as f:
        mem_kib = int(f.readline().split()[1])

    def version(package):
        return subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], text=True,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout or None

    return {"cpu": model, "cores": os.cpu_count(), "memory_mib": mem_kib // 1024,
            "kernel": platform.release(), "389-ds-base": version("389-ds-base"),
            "rabbitmq-server": version("rabbitmq-server"), "plugin": PLUGIN}


def targets(report):
    """Every target the report can judge: name, value, target, pass."""
    out = []

    def target(name, value, wanted, ok):
        out.append({"name": name, "value": value, "target": wanted, "pass": bool(ok)})

    if "load" in report:
        r = report["load"]
        target("load: throughput with / without the plug-in", r["throughput_ratio"],
               ">= %.2f" % THROUGHPUT_RATIO_MIN, r["throughput_ratio"] >= THROUGHPUT_RATIO_MIN)
        bad = {k: v for k, v in r["fault_counts"].items() if v}
        target("load: every completed call's events, complete and in commit order",
               bad or "none", "no faults", not bad)
    if "modify" in report:
        r = report["modify"]
        target("modify: mean time with / without the plug-in", r["mean_ratio"],
               "<= %.2f" % TIME_RATIO_MAX, r["mean_ratio"] <= TIME_RATIO_MAX)
    if "group" in report:
        r = report["group"]
        target("group: client's wait with / without the plug-in", r["client_ratio"],
               "<= %.2f" % TIME_RATIO_MAX, r["client_ratio"] <= TIME_RATIO_MAX)
    if "outage" in report:
        r = report["outage"]
        target("outage: throughput during the outage / without the plug-in", r["throughput_ratio"],
               ">= %.2f" % THROUGHPUT_RATIO_MIN, r["throughput_ratio"] >= THROUGHPUT_RATIO_MIN)
        target("outage: server RSS flat over the outage", r["rss_growth_during_outage_pct"],
               "<= %.1f %%" % FLAT_RSS_GROWTH_PCT, r["rss_flat"])
        target("outage: a FULLSYNC ahead of every later event", r["fullsync_before_later_events"],
               True, r["fullsync_before_later_events"])
    if "kill" in report:
        c = report["kill"]["fault_counts"]
        uncovered = c["missing_without_fullsync"] + c["resumed_before_fullsync"]
        target("kill: every missing event followed by a FULLSYNC before the stream goes on",
               uncovered, 0, uncovered == 0)
    for name in ("outage", "kill"):
        if name in report:
            c = report[name]["fault_counts"]
            bad = {k: v for k, v in c.items() if v and k not in ("missing", "incomplete")}
            target("%s: events in commit order, seq and properties" % name, bad or "none",
                   "no faults", not bad)
    return out


def main():
    global PLUGIN
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", choices=MEASUREMENTS, action="append",
                        help="run only this measurement (may be given more than once)")
    parser.add_argument("--writers", type=int, default=8)
    parser.add_argument("--seconds", type=int, default=60,
                        help="measured seconds of load, with the plug-in and as many without")
    parser.add_argument("--rounds", type=int, default=3,
                        help="alternating rounds the load and the modifies are split in")
    parser.add_argument("--modifies", type=int, default=3000)
    parser.add_argument("--members", type=int, default=100000)
    parser.add_argument("--outage", type=int, default=30, help="seconds the broker is stopped")
    parser.add_argument("--plugin", help="plug-in library (default: $DIRMIRROR_PLUGIN or %s)" % PLUGIN)
    parser.add_argument("--split-cores", action="store_true",
                        help="the directory server on one core, all else on the others")
    parser.add_argument("--report", default=os.path.join(REPO, "build", "bench-report.json"))
    args = parser.parse_args()
    PLUGIN = os.path.abspath(args.plugin or PLUGIN)
    only = [m for m in MEASUREMENTS if m in (args.only or MEASUREMENTS)]
    if args.split_cores:
        split_cores()

    queue = Queue()
    report = {"machine": machine(), "date": time.strftime("%Y-%m-%d %H:%M:%S"),
              "split_cores": args.split_cores}
    for name in only:
        log("measuring", name)
        with open("/proc/loadavg") as f:
            load_before = f.read().split()[:3]
        if name == "load":
            report["load"] = bench_load(queue, args.writers, args.seconds, args.rounds)
        elif name == "modify":
            report["modify"] = bench_modify(queue, args.modifies, args.rounds)
        elif name == "group":
            report["group"] = bench_group(queue, args.members)
        elif name == "outage":
            baselines = [f["ops_per_s"] for f in report.get("load", {}).get("without_plugin", [])]
            report["outage"] = bench_outage(queue, args.writers, 15, args.outage, 20, baselines)
        else:
            report["kill"] = bench_kill(queue, args.writers, 15, 20)
        report[name]["loadavg_before"] = load_before
        print(json.dumps({name: report[name]}), flush=True)
    run("testbed/ds-stop")
    report["targets"] = targets(report)
    for t in report["targets"]:
        print("%-4s %s: %s (target %s)" % ("PASS" if t["pass"] else "FAIL", t["name"],
                                          json.dumps(t["value"]), t["target"]))
    os.makedirs(os.path.dirname(os.path.abspath(args.report)), exist_ok=True)
    with open(args.report, "w") as f:
        json.dump(report, f, indent=2)
    print("report written to", args.report)


if __name__ == "__main__":
    main()
