#!/usr/bin/python3
"""Measures what dirmirror costs a 389 Directory Server, on real servers, and
whether its events arrive complete and in the order the directory committed
the changes, also while the broker restarts, dies or blocks publishers.

Run through testbed/bench, which builds the plug-in and the sink broker and
starts RabbitMQ. Each run restarts the directory server in the set-up it needs.

  cost     in 5 interleaved rounds (the order turns each round), one server
           start per set-up and round: a single client's modifies (600 a
           round, one after the other), then 8 writers for 20 s, each adding,
           modifying and deleting fresh entries under cn=users. Set-ups:
             none       no plug-in
             sink       the plug-in publishing to dirmirror-sink-broker, which
                        confirms and drops every message: the plug-in's own cost
             rabbitmq   the plug-in publishing to RabbitMQ on this machine, a
                        consumer process reading the queue as a service would;
                        every call's events checked, complete and in commit order
             rabbitmq-busy-wait  the same, the broker's schedulers busy-waiting
                        as the Erlang VM does by default (the package turns
                        that off: +sbwt none +sbwtdcpu none +sbwtdio none)
             retrocl    no plug-in, the server's own Retro Changelog on
           Reported: per set-up the medians over the rounds of the modify's
           median time and of the writers' operations per second, and the
           ratios to "none".
  group    the add of a 100,000-member group, without the plug-in and with
           it (median of 3): the client's wait, and when the event arrives;
           the difference is how much longer the add holds the backend's
           lock (its event is built inside the transaction).
  restart  the broker stopped (testbed/broker-stop) and started again under
           the 8 writers;
  kill     the broker killed (kill -9) under the 8 writers and started again;
  alarm    a memory alarm (vm_memory_high_watermark absolute 1) for 60 s
           under the 8 writers: the broker blocks publishers.
           For each of the three: events lost, out of commit order, FULLSYNCs
           (none is due) and the copies (the same message_id again: delivery
           is at least once), the copies dropped before the check. For the
           alarm also the writers' call time during the alarm against before
           it, and the server's RSS growth against BUFFER_MB.
  soak     1,000,000 modifies by the 8 writers of a fixed set of entries (no
           new DNs), without the plug-in and with it publishing to the sink
           broker, the server's RSS sampled every 5 s: the slope of RSS over
           operations after the first tenth, and the plug-in's share
           (target under 8 bytes per operation).

Targets are reported, each with pass or fail, in the report; nothing here
fails on a missed target.
"""
import argparse
import json
import multiprocessing
import os
import pickle
import platform
import signal
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
from e2e_support import (MONITOR_DN, QUEUE, SETTINGS, Message, Queue, ldap_connect,  # noqa: E402
                         rabbitmqctl, write_settings)

PLUGIN = os.environ.get("DIRMIRROR_PLUGIN") or os.path.join(REPO, "build", "libdirmirror-plugin.so")
SINK = os.path.join(REPO, "build", "testbed", "dirmirror-sink-broker")
RUN_DIR = os.environ.get("DIRMIRROR_RUN", "/tmp/dirmirror-run")
PIDFILE = "/data/run/slapd-dirmirror.pid"
ERRORS_LOG = "/var/log/dirsrv/slapd-dirmirror/errors"
BROKER_PIDFILE = os.path.join(RUN_DIR, "rabbitmq", "rabbitmq.pid")
MEASUREMENTS = ["cost", "group", "restart", "kill", "alarm", "soak"]
SETUPS = ["none", "sink", "rabbitmq", "rabbitmq-busy-wait", "retrocl"]
# The Erlang VM's own scheduler busy-wait; the package's rabbitmq-env turns it off.
BUSY_WAIT_ARGS = "+sbwt medium +sbwtdcpu short +sbwtdio short"
GROUP_REPEATS = 3
SINK_LATENCY_RATIO_MAX = 1.05
SINK_THROUGHPUT_RATIO_MIN = 0.95
THROUGHPUT_RATIO_MIN = 0.90
TIME_RATIO_MAX = 1.10
RSS_OVER_BUFFER_MAX = 1.10
SOAK_BYTES_PER_OP_MAX = 8.0


def log(*args):
    print(time.strftime("%H:%M:%S"), *args, file=sys.stderr, flush=True)


def run(*args, env=None):
    return subprocess.run(args, check=True, cwd=REPO, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True,
                          env=dict(os.environ, **(env or {}))).stdout


def connect():
    return ldap_connect(timeout=120.0)


CACHE_SETTINGS = [
    ("cn=config", "nsslapd-ndn-cache-enabled", b"off"),
    ("cn=config,cn=ldbm database,cn=plugins,cn=config", "nsslapd-cache-autosize", b"0"),
    ("cn=config,cn=ldbm database,cn=plugins,cn=config", "nsslapd-dbcachesize", b"16777216"),
    ("cn=userroot,cn=ldbm database,cn=plugins,cn=config", "nsslapd-cachememsize", b"16777216"),
    ("cn=userroot,cn=ldbm database,cn=plugins,cn=config", "nsslapd-dncachememsize", b"8388608"),
    # A 100,000-member add is a request of about 4 MB; the default limit is 2 MB.
    ("cn=config", "nsslapd-maxbersize", b"67108864"),
]


def limit_caches(conn):
    """Small fixed database and entry caches, so that the server's memory
    settles within the run instead of filling gigabytes of autosized cache.
    Returns whether anything changed (the sizes take effect at a start).

    The normalized-DN cache is turned off: under a load of always-new DNs it
    grows the server by about 0.4 KB per operation with or without the plug-in,
    even with its size limit at 1 MB (its thread slots grow with every miss),
    and would hide what the plug-in does to the server's memory."""
    changed = False
    for dn, attr, value in CACHE_SETTINGS:  # in this order: the size is refused while autosizing is on
        [(_, attrs)] = conn.search_s(dn, ldap.SCOPE_BASE, attrlist=[attr])
        if [v.lower() for v in next(iter(attrs.values()), [])] != [value]:
            conn.modify_s(dn, [(ldap.MOD_REPLACE, attr, [value])])
            changed = True
    return changed


# With --split-cores: the CPU the directory server runs on alone; everything
# else (broker, writers, consumer) runs on the others.
DIRECTORY_CPU = None


def split_cores():
    """Gives the directory server a core of its own, as if the broker and the
    clients ran on other hosts: this process and all it starts keep off it;
    the server and the broker are moved after each start."""
    global DIRECTORY_CPU
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) < 2:
        raise SystemExit("--split-cores needs two CPUs")
    DIRECTORY_CPU = cpus[0]
    os.sched_setaffinity(0, cpus[1:])
    broker_moved()


def broker_moved():
    if DIRECTORY_CPU is not None:
        others = ",".join(map(str, sorted(os.sched_getaffinity(0))))
        run("taskset", "-a", "-cp", others, broker_pid())


def broker_pid():
    with open(BROKER_PIDFILE) as f:
        return f.read().strip()


class Setup:
    """How the directory server is started: with the plug-in or not, which
    broker port it is given, the server features on, extra settings."""

    def __init__(self, name, plugin=False, port=None, features="", settings=None):
        self.name, self.plugin, self.port = name, plugin, port
        self.features, self.settings = features, settings

    def start(self):
        """(Re)starts the server, its caches limited; returns a bound connection."""
        env = {"DIRMIRROR_DS_FEATURES": self.features}
        if self.port:
            env["DIRMIRROR_AMQP_PORT"] = str(self.port)
        args = ["testbed/ds-start"] + ([PLUGIN] if self.plugin else [])
        if self.settings:
            # ds-start's own settings plus ours; the next plain start writes its own again.
            write_settings(("RABBIT_HOST=127.0.0.1\nRABBIT_PORT=%d\nRABBIT_VHOST=/\n"
                            "RABBIT_EXCHANGE=dirmirror\nRABBIT_ROUTINGKEY=ldap.changes\n"
                            "RABBIT_USERNAME=guest\nRABBIT_PASSWORD=guest\n%s"
                            % (self.port or 5672, self.settings)).encode())
            env["DIRMIRROR_DS_KEEP_ENV"] = "1"
        run(*args, env=env)
        conn = connect()
        if limit_caches(conn):
            conn.unbind_s()
            run(*args, env=env)
            conn = connect()
        if DIRECTORY_CPU is not None:
            with open(PIDFILE) as f:
                run("taskset", "-a", "-cp", str(DIRECTORY_CPU), f.read().strip())
        return conn


def directory_pid():
    with open(PIDFILE) as f:
        return f.read().strip()


def directory_rss_kib():
    with open("/proc/%s/status" % directory_pid()) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS for ns-slapd")


def settle(queue, quiet=1.0):
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


def call_ms(ops, start, end):
    """Median time of the calls answered between two monotonic times, in ms."""
    times = [op.returned - op.sent for op in ops if start <= op.returned < end]
    return round(1000 * statistics.median(times), 3) if times else None


def cpu_seconds(pid):
    """CPU time of a process (or a task, "pid/task/tid") so far, None when gone."""
    try:
        with open("/proc/%s/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def niced_threads_cpu(pid):
    """CPU time of a process's threads that run at a positive nice value: in
    ns-slapd, the plug-in's publisher thread and its watchdog (nice 10)."""
    total = 0.0
    try:
        tids = os.listdir("/proc/%s/task" % pid)
    except OSError:
        return None
    for tid in tids:
        try:
            with open("/proc/%s/task/%s/stat" % (pid, tid)) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[16]) > 0:
            total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return total


def machine_busy_seconds():
    """CPU time all cores spent busy so far (everything but idle and iowait)."""
    with open("/proc/stat") as f:
        ticks = [int(x) for x in f.readline().split()[1:]]
    return (sum(ticks) - ticks[3] - ticks[4]) / os.sysconf("SC_CLK_TCK")


class CpuUse:
    """CPU seconds over a stretch: the directory server (and in it the
    plug-in's niced threads), the broker, this bench (its writers and
    consumer), and the whole machine; what is left is other processes' and the
    kernel's (loopback networking, for one)."""

    def __init__(self, broker, consumer=None):
        self.consumer, self.broker, self.slapd = consumer, broker, directory_pid()
        self.begin = self._now()

    def _now(self):
        bench = time.process_time() + (cpu_seconds(self.consumer.process.pid) or 0.0
                                       if self.consumer else 0.0)
        return [cpu_seconds(self.slapd), niced_threads_cpu(self.slapd),
                cpu_seconds(self.broker) if self.broker else 0.0, bench, machine_busy_seconds()]

    def end(self):
        d = [None if a is None or b is None else b - a for a, b in zip(self.begin, self._now())]
        out = {"ns-slapd": d[0], "publisher_threads": d[1], "broker": d[2], "bench": d[3],
               "machine": d[4]}
        if None not in (d[0], d[2], d[3], d[4]):
            out["other_processes_and_kernel"] = d[4] - d[0] - d[2] - d[3]
        return {k: None if v is None else round(v, 2) for k, v in out.items()}


def _consume(stop, count, last_at, path):
    """The consumer process: reads the queue while the load runs, as a
    service would, so the broker holds no backlog; connects again after the
    broker went away. Acknowledges in batches. Keeps every message it gets,
    copies too (marked when the broker says it delivers one again), and
    writes them to `path` once `stop` is set and nothing more comes."""
    got = []
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
                m.redelivered = method.redelivered
                got.append(m)
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

    def finish(self, queue, quiet=3.0, limit=600):
        """Once the queue is empty and nothing came for `quiet` seconds: the
        messages, and when the last one came (monotonic)."""
        seen, since, begin = -1, time.monotonic(), time.monotonic()
        while time.monotonic() - since < quiet and time.monotonic() - begin < limit:
            time.sleep(0.2)
            try:
                waiting = queue.count()
            except Exception:
                queue.close()
                waiting = 1
            if self.count.value != seen or waiting > 0:
                seen, since = self.count.value, time.monotonic()
        self.stop.set()
        self.process.join()
        with open(self.path, "rb") as f:
            messages = pickle.load(f)
        os.unlink(self.path)
        return messages, self.last_at.value


def stream_check(messages, ops, wall):
    """The consumer's messages against the calls: copies (one message_id
    again) dropped first, then change_order.check. Returns the figures and the
    faults; `lost`, `disordered` and `fullsyncs` sum up what must be 0."""
    kept, copies, differing = change_order.dedupe(messages)
    figures, faults = change_order.check(kept, ops, wall=wall)
    faults["copies_differing"] = differing
    figures.update({
        "messages": len(messages),
        "copies": copies,
        "copies_redelivered_to_consumer": sum(1 for m in messages if getattr(m, "redelivered", False)),
        "lost": len(faults["missing"]) + len(faults["incomplete"]),
        "disordered": len(faults["out_of_order"]) + len(faults["seq_jumps_without_fullsync"])
        + len(faults["stray_modify_events"]),
        "faults": change_order.summary(faults),
        "fault_counts": {k: len(v) for k, v in faults.items()},
    })
    return figures, faults


def monitor(conn):
    [(_, attrs)] = conn.search_s(MONITOR_DN, ldap.SCOPE_BASE)
    return {k.lower(): v[0].decode() for k, v in attrs.items()
            if k.lower().startswith(("events", "fullsyncs", "buffer", "queue", "lag", "broker"))}


def errors_log_size():
    try:
        return os.path.getsize(ERRORS_LOG)
    except OSError:
        return 0


def errors_log_since(offset, limit=40):
    """The error log's lines written since `offset` that are not INFO."""
    try:
        with open(ERRORS_LOG, "rb") as f:
            f.seek(offset)
            lines = f.read().decode("utf-8", "replace").splitlines()
    except OSError:
        return []
    return [l for l in lines if " - INFO - " not in l and " - NOTICE - " not in l][-limit:]


def timed_modifies(conn, dn, count, ops):
    for i in range(count):
        tag = "value %d %f" % (i, time.time())
        sent = time.monotonic()
        conn.modify_s(dn, [(ldap.MOD_REPLACE, "description", [tag.encode()])])
        ops.append(change_order.Op(dn, "modify", tag, sent, time.monotonic()))


def timed(ops, dn, kind, call):
    sent = time.monotonic()
    call()
    ops.append(change_order.Op(dn, kind, None, sent, time.monotonic()))


def person(uid):
    return ldap.modlist.addModlist({"objectClass": [b"inetOrgPerson"], "uid": [uid.encode()],
                                    "cn": [uid.encode()], "sn": [b"Bench"]})


# --- cost ----------------------------------------------------------------------

class Brokers:
    """RabbitMQ as testbed/broker-start runs it, with the package's emulator
    flags or with the Erlang VM's scheduler busy-wait back; the sink broker."""

    def __init__(self, queue):
        self.queue, self.busy_wait, self.sink, self.sink_port = queue, False, None, None

    def rabbitmq(self, busy_wait):
        if busy_wait != self.busy_wait:
            run("testbed/ds-stop")
            self.queue.close()
            run("testbed/broker-stop")
            run("testbed/broker-start",
                env={"DIRMIRROR_BROKER_ERL_ARGS": BUSY_WAIT_ARGS if busy_wait else ""})
            broker_moved()
            self.busy_wait = busy_wait
        return broker_pid()

    def emulator_flags(self):
        """The busy-wait flags on the running node's command line, in order."""
        with open("/proc/%s/cmdline" % broker_pid(), "rb") as f:
            argv = f.read().decode().split("\0")
        return " ".join("%s %s" % (a, argv[i + 1]) for i, a in enumerate(argv[:-1])
                        if a.lstrip("-+") in ("sbwt", "sbwtdcpu", "sbwtdio"))

    def start_sink(self):
        if self.sink is None:
            self.sink = subprocess.Popen([SINK, "--port", "0"], stdout=subprocess.PIPE, text=True)
            line = self.sink.stdout.readline().split()
            if line[:1] != ["port"]:
                raise RuntimeError("dirmirror-sink-broker printed %r" % line)
            self.sink_port = int(line[1])
        return self.sink.pid, self.sink_port

    def stop(self):
        if self.sink is not None:
            self.sink.send_signal(signal.SIGTERM)
            out = self.sink.communicate(timeout=30)[0].strip()
            self.sink = None
            return out
        if self.busy_wait:
            self.rabbitmq(False)
        return None


def cost_run(queue, brokers, name, writers, modifies, seconds, warm_up):
    """One server start in set-up `name`: `modifies` by one client, then the
    writers' load. Returns the figures."""
    rabbit = name.startswith("rabbitmq")
    broker = None
    if rabbit:
        broker = brokers.rabbitmq(name == "rabbitmq-busy-wait")
        setup = Setup(name, plugin=True)
    elif name == "sink":
        broker, port = brokers.start_sink()
        setup = Setup(name, plugin=True, port=port)
    else:
        setup = Setup(name, features="retrocl" if name == "retrocl" else "")
    conn = setup.start()
    consumer = None
    if rabbit:
        settle(queue)
        queue.purge()
        queue.close()
        consumer = Consumer()
    wall, ops = time.time(), []
    dn = "uid=bench-%d-%d,cn=users,cn=accounts,dc=lab" % (os.getpid(), time.time() * 1000)
    timed(ops, dn, "add", lambda: conn.add_s(dn, person(dn.split(",")[0][4:])))
    timed_modifies(conn, dn, 50, ops)  # warm-up
    measured = []
    timed_modifies(conn, dn, modifies, measured)
    timed(measured, dn, "delete", lambda: conn.delete_s(dn))
    ops += measured
    times = [op.returned - op.sent for op in measured if op.kind == "modify"]
    conn.unbind_s()
    started = time.monotonic()
    cpu = CpuUse(broker, consumer)
    load, failed = change_order.run_writers(connect, writers, warm_up + seconds,
                                            "b%d-%d" % (os.getpid(), time.time()))
    ended = time.monotonic()
    cpu = cpu.end()
    figures = {
        "setup": name,
        "modify_median_ms": round(1000 * statistics.median(times), 3),
        "modify_mean_ms": round(1000 * statistics.mean(times), 3),
        "modifies": len(times),
        "ops_per_s": round(rate(load, started + warm_up, ended), 1),
        "writers_call_median_ms": call_ms(load, started + warm_up, ended),
        "operations": len(load),
        "failed_operations": failed,
        "cpu_s": cpu,
        "slapd_cpu_ms_per_op": round(1000 * cpu["ns-slapd"] / len(load), 3) if load else None,
    }
    if rabbit:
        figures["broker_busy_wait_flags"] = brokers.emulator_flags()
        messages, last_at = consumer.finish(queue)
        figures["last_event_after_writers_s"] = round(last_at - ended, 2)
        result, _ = stream_check(messages, ops + load, (wall, time.time()))
        figures.update(result)
    if name == "retrocl":
        conn = connect()
        [(_, attrs)] = conn.search_s("", ldap.SCOPE_BASE, attrlist=["lastchangenumber"])
        figures["retro_changelog_last_change_number"] = int(attrs["lastchangenumber"][0])
        conn.unbind_s()
    return figures


def bench_cost(queue, brokers, setups, rounds, writers, modifies, seconds, warm_up):
    """Every set-up once a round, the order turned by one each round, so that
    what else the machine does weighs on all alike."""
    runs = {name: [] for name in setups}
    for r in range(rounds):
        order = setups[r % len(setups):] + setups[:r % len(setups)]
        for name in order:
            f = cost_run(queue, brokers, name, writers, modifies // rounds, seconds, warm_up)
            f["round"] = r + 1
            runs[name].append(f)
            log("cost round %d %-18s modify median %.3f ms, %.1f ops/s%s" % (
                r + 1, name, f["modify_median_ms"], f["ops_per_s"],
                ", lost %d disordered %d fullsyncs %d copies %d" % (
                    f["lost"], f["disordered"], f["fullsyncs"], f["copies"]) if "lost" in f else ""))
    out = {"rounds": rounds, "writers": writers, "modifies_per_round": modifies // rounds,
           "measured_seconds_per_round": seconds, "warm_up_s": warm_up, "setups": {}}
    base = runs.get("none")
    for name in sorted(runs, key=lambda n: n != "none"):  # "none" first: the others refer to it
        fs = runs[name]
        row = {
            "modify_median_ms": round(statistics.median(f["modify_median_ms"] for f in fs), 3),
            "modify_mean_ms": round(statistics.median(f["modify_mean_ms"] for f in fs), 3),
            "ops_per_s": round(statistics.median(f["ops_per_s"] for f in fs), 1),
            "ops_per_s_rounds": [f["ops_per_s"] for f in fs],
            "modify_median_ms_rounds": [f["modify_median_ms"] for f in fs],
            "slapd_cpu_ms_per_op": round(statistics.median(f["slapd_cpu_ms_per_op"] for f in fs), 3),
            "publisher_threads_cpu_s": [f["cpu_s"]["publisher_threads"] for f in fs],
            "broker_cpu_s": [f["cpu_s"]["broker"] for f in fs],
        }
        if base and name != "none":
            b = out["setups"]["none"]
            row["modify_median_ratio"] = round(row["modify_median_ms"] / b["modify_median_ms"], 3)
            row["modify_mean_ratio"] = round(row["modify_mean_ms"] / b["modify_mean_ms"], 3)
            row["throughput_ratio"] = round(row["ops_per_s"] / b["ops_per_s"], 3)
            # Round by round against the same round's "none": the drift between rounds cancels.
            row["throughput_ratio_paired_median"] = round(statistics.median(
                f["ops_per_s"] / g["ops_per_s"] for f, g in zip(fs, base)), 3)
            row["modify_median_ratio_paired_median"] = round(statistics.median(
                f["modify_median_ms"] / g["modify_median_ms"] for f, g in zip(fs, base)), 3)
        if "lost" in fs[0]:
            counts = {}
            for f in fs:
                for k, v in f["fault_counts"].items():
                    counts[k] = counts.get(k, 0) + v
            row.update({"expected_events": sum(f["expected_events"] for f in fs),
                        "received_events": sum(f["received_events"] for f in fs),
                        "copies": sum(f["copies"] for f in fs),
                        "fullsyncs": sum(f["fullsyncs"] for f in fs),
                        "fault_counts": counts,
                        "broker_busy_wait_flags": fs[0]["broker_busy_wait_flags"]})
        if name == "retrocl":
            row["retro_changelog_last_change_number"] = [
                f["retro_changelog_last_change_number"] for f in fs]
        out["setups"][name] = row
    out["runs"] = runs
    return out


def profile_run(brokers, name, writers, seconds, warm_up):
    """One more load in set-up `name` (none or sink), ns-slapd under
    `perf record -g` for `seconds`: the share of its samples per library and
    the plug-in's and rabbitmq-c's hottest functions. Not counted in the
    figures (perf costs the server time)."""
    if name == "sink":
        setup = Setup(name, plugin=True, port=brokers.start_sink()[1])
    else:
        setup = Setup(name)
    setup.start().unbind_s()
    data = os.path.join(REPO, "build", "perf-%s.data" % name)
    result = {}

    def record():
        time.sleep(warm_up)
        subprocess.run(["perf", "record", "-g", "-q", "-o", data, "-p", directory_pid(),
                        "--", "sleep", str(seconds)], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    helper = threading.Thread(target=record)
    helper.start()
    ops, _ = change_order.run_writers(connect, writers, warm_up + seconds + 2,
                                      "p%d-%d" % (os.getpid(), time.time()))
    helper.join()
    result["ops_per_s_under_perf"] = round(len(ops) / (warm_up + seconds + 2), 1)

    def report(*sort, limit="0.3"):
        out = subprocess.run(["perf", "report", "-i", data, "--no-children", "--stdio", "-q",
                              "-g", "none", "--percent-limit", limit, *sort],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
        return [" ".join(l.split())[:160] for l in out.splitlines() if l.strip()]

    result["by_library"] = report("--sort", "dso")[:25]
    result["plugin_functions"] = [l for l in report("--sort", "dso,sym", limit="0")
                                  if "dirmirror" in l or "librabbitmq" in l][:12]
    result["top_functions"] = report("--sort", "dso,sym")[:15]
    result["perf_data"] = data
    return result


# --- group ---------------------------------------------------------------------

def bench_group(queue, members):
    dn = "cn=big%d,cn=groups,cn=accounts,dc=lab" % members
    attrs = ldap.modlist.addModlist({
        "objectClass": [b"groupOfNames"], "cn": [b"big%d" % members],
        "member": [b"uid=m%d,cn=users,cn=accounts,dc=lab" % i for i in range(members)]})
    row = {"members": members, "repeats": GROUP_REPEATS}
    for with_plugin in (False, True):
        conn = Setup("group", plugin=with_plugin).start()
        answered, arrived = [], []
        for _ in range(GROUP_REPEATS):
            try:
                conn.delete_s(dn)
            except ldap.NO_SUCH_OBJECT:
                pass
            if with_plugin:
                settle(queue)
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
    # The plug-in builds the event inside the add's transaction: what it adds
    # to the add is the time the backend's lock is held longer.
    row["lock_held_longer_s"] = round(row["client_s_with_plugin"] - row["client_s_without_plugin"], 3)
    return row


# --- soak ------------------------------------------------------------------------

def _soak_writer(index, entries, until, done):
    conn = connect()
    dns = ["uid=soak-%d-%d,cn=users,cn=accounts,dc=lab" % (index, i) for i in range(entries)]
    n = 0
    while done.value < until:
        conn.modify_s(dns[n % entries], [(ldap.MOD_REPLACE, "description", [b"soak %d" % n])])
        n += 1
        with done.get_lock():
            done.value += 1
    conn.unbind_s()


def slope(points):
    """Least-squares slope of (x, y) points."""
    mx = statistics.mean(x for x, _ in points)
    my = statistics.mean(y for _, y in points)
    return (sum((x - mx) * (y - my) for x, y in points) /
            sum((x - mx) ** 2 for x, _ in points))


def bench_soak(brokers, writers, modifies, entries=25, every=5.0):
    """`modifies` modifies by `writers` of a fixed set of entries (no new
    DNs: the server's own caches stay put), without the plug-in and with it
    publishing to the sink broker; the server's RSS sampled every `every`
    seconds. The slope of RSS over operations after the first tenth, per
    set-up; the plug-in's share is the difference."""
    row = {"modifies": modifies, "writers": writers, "entries_per_writer": entries}
    for name in ("none", "sink"):
        port = brokers.start_sink()[1] if name == "sink" else None
        conn = Setup("soak", plugin=name == "sink", port=port).start()
        for w in range(writers):
            for i in range(entries):
                dn = "uid=soak-%d-%d,cn=users,cn=accounts,dc=lab" % (w, i)
                try:
                    conn.add_s(dn, person(dn.split(",")[0][4:]))
                except ldap.ALREADY_EXISTS:
                    pass
        conn.unbind_s()
        done = multiprocessing.Value("q", 0)
        procs = [multiprocessing.Process(target=_soak_writer, args=(w, entries, modifies, done))
                 for w in range(writers)]
        started = time.monotonic()
        for p in procs:
            p.start()
        samples = []
        while any(p.is_alive() for p in procs):
            samples.append((done.value, directory_rss_kib() * 1024))
            time.sleep(every)
        for p in procs:
            p.join()
        wall = time.monotonic() - started
        counted = [(ops, rss) for ops, rss in samples if ops >= modifies / 10]
        row[name] = {"ops_per_s": round(done.value / wall, 1),
                     "rss_start_mib": round(counted[0][1] / 2 ** 20, 1),
                     "rss_end_mib": round(counted[-1][1] / 2 ** 20, 1),
                     "samples": len(counted),
                     "bytes_per_op": round(slope(counted), 2)}
        if name == "sink":
            row[name]["sink_broker"] = brokers.stop()
    row["plugin_bytes_per_op"] = round(row["sink"]["bytes_per_op"] - row["none"]["bytes_per_op"], 2)
    return row


# --- resilience ----------------------------------------------------------------

def resilience_run(queue, name, writers, scenario, warm_up=10, settings=None):
    """The plug-in publishing to RabbitMQ under the writers' load, and beside
    them a probe client modifying its own entry every 0.1 s, while
    `scenario(marks, stop)` does to the broker what it does, writing monotonic
    times into `marks` and setting `stop` at its end. Every second: the
    server's RSS and the plug-in's monitor entry. Then the stream check."""
    conn = Setup(name, plugin=True, settings=settings).start()
    conn.unbind_s()
    queue.close()  # the broker may have been restarted since it was last used
    settle(queue)
    queue.purge()
    queue.close()
    log_offset = errors_log_size()
    consumer = Consumer()
    marks, stop, samples, probe_ops = {}, threading.Event(), [], []
    sampling = threading.Event()
    wall = time.time()
    started = time.monotonic()

    def sample():
        mon = connect()
        while not sampling.is_set():
            try:
                m = monitor(mon)
            except ldap.LDAPError as e:
                m = {"error": str(e)}
            samples.append((time.monotonic(), directory_rss_kib(), m))
            sampling.wait(1.0)
        mon.unbind_s()

    def probe():
        c = connect()
        dn = "uid=probe-%d-%d,cn=users,cn=accounts,dc=lab" % (os.getpid(), time.time())
        timed(probe_ops, dn, "add", lambda: c.add_s(dn, person(dn.split(",")[0][4:])))
        i = 0
        while not stop.is_set():
            tag = "probe %d" % i
            sent = time.monotonic()
            c.modify_s(dn, [(ldap.MOD_REPLACE, "description", [tag.encode()])])
            probe_ops.append(change_order.Op(dn, "modify", tag, sent, time.monotonic()))
            i += 1
            stop.wait(0.1)
        timed(probe_ops, dn, "delete", lambda: c.delete_s(dn))
        c.unbind_s()

    threads = [threading.Thread(target=sample, daemon=True), threading.Thread(target=probe)]
    for t in threads:
        t.start()
    helper = threading.Thread(target=scenario, args=(marks, stop))
    helper.start()
    ops, failed = change_order.run_writers(connect, writers, 3600,
                                           "r%d-%d" % (os.getpid(), time.time()), stop=stop)
    ended = time.monotonic()
    helper.join()
    threads[1].join()
    messages, last_at = consumer.finish(queue, quiet=5.0)
    sampling.set()
    threads[0].join()
    result, _ = stream_check(messages, ops + probe_ops, (wall, time.time()))
    after = connect()
    final_monitor = monitor(after)
    after.unbind_s()
    figures = {
        "writers": writers,
        "seconds": round(ended - started, 1),
        "operations": len(ops),
        "failed_operations": failed,
        "probe_modifies": sum(1 for op in probe_ops if op.kind == "modify"),
        "marks_s": {k: round(v - started, 1) for k, v in marks.items()},
        "last_event_after_writers_s": round(last_at - ended, 2),
        "monitor_at_end": final_monitor,
        "error_log": errors_log_since(log_offset),
        **result,
    }
    return figures, ops, probe_ops, samples, marks, started


def sampled(samples, key, start=None, end=None):
    return [s[2].get(key) for s in samples
            if (start is None or s[0] >= start) and (end is None or s[0] <= end)]


def high_water(samples):
    return max((int(v) for v in sampled(samples, "bufferhighwater") if v), default=None)


def bench_restart(queue, writers, before=20, after=20):
    def scenario(marks, stop):
        time.sleep(before)
        marks["stop"] = time.monotonic()
        run("testbed/broker-stop")
        marks["down"] = time.monotonic()
        run("testbed/broker-start")
        broker_moved()
        marks["up"] = time.monotonic()
        time.sleep(after)
        stop.set()

    figures, ops, _, samples, marks, _ = resilience_run(queue, "restart", writers, scenario)
    figures["ops_per_s_while_broker_away"] = round(rate(ops, marks["stop"], marks["up"]), 1)
    figures["buffer_high_water_bytes"] = high_water(samples)
    return figures


def bench_kill(queue, writers, before=20, after=20):
    def scenario(marks, stop):
        time.sleep(before)
        marks["kill"] = time.monotonic()
        os.kill(int(broker_pid()), signal.SIGKILL)
        run("testbed/broker-start")
        broker_moved()
        marks["up"] = time.monotonic()
        time.sleep(after)
        stop.set()

    figures, ops, _, samples, marks, _ = resilience_run(queue, "kill", writers, scenario)
    figures["ops_per_s_while_broker_away"] = round(rate(ops, marks["kill"], marks["up"]), 1)
    figures["buffer_high_water_bytes"] = high_water(samples)
    return figures


def bench_alarm(queue, writers, seconds, buffer_mb, before=30, after=30, warm_up=10):
    def scenario(marks, stop):
        time.sleep(warm_up + before)
        marks["alarm_set"] = time.monotonic()
        rabbitmqctl("set_vm_memory_high_watermark", "absolute", "1")
        marks["alarm_on"] = time.monotonic()
        time.sleep(seconds)
        marks["alarm_clearing"] = time.monotonic()
        rabbitmqctl("set_vm_memory_high_watermark", "0.4")
        marks["alarm_off"] = time.monotonic()
        time.sleep(after)
        stop.set()

    settings = "BUFFER_MB=%d\n" % buffer_mb if buffer_mb else None
    try:
        figures, ops, probe_ops, samples, marks, started = resilience_run(
            queue, "alarm", writers, scenario, warm_up, settings)
    finally:
        try:  # a failure in the middle must not leave the broker blocking
            rabbitmqctl("set_vm_memory_high_watermark", "0.4")
        except Exception as e:
            log("could not lift the memory alarm:", e)
    on, off = marks["alarm_on"], marks["alarm_clearing"]
    before_window = (started + warm_up, marks["alarm_set"])
    rss_at_on = [kib for at, kib, _ in samples if at <= on][-1]
    rss_peak = max(kib for at, kib, _ in samples if at >= on)
    blocked = sampled(samples, "brokerblocked", on, off)
    buffer_mb_in_effect = buffer_mb or 256
    figures.update({
        "alarm_s": seconds,
        "buffer_mb": buffer_mb_in_effect,
        "ops_per_s_before_alarm": round(rate(ops, *before_window), 1),
        "ops_per_s_during_alarm": round(rate(ops, on, off), 1),
        "writers_call_median_ms_before_alarm": call_ms(ops, *before_window),
        "writers_call_median_ms_during_alarm": call_ms(ops, on, off),
        "probe_modify_median_ms_before_alarm": call_ms(
            [op for op in probe_ops if op.kind == "modify"], *before_window),
        "probe_modify_median_ms_during_alarm": call_ms(
            [op for op in probe_ops if op.kind == "modify"], on, off),
        "monitor_broker_blocked_samples_during_alarm": "%d of %d" % (
            sum(1 for v in blocked if v == "TRUE"), len(blocked)),
        "buffer_bytes_max_during_alarm": max(
            (int(v) for v in sampled(samples, "bufferbytes", on, off) if v), default=None),
        "buffer_high_water_bytes": high_water(samples),
        "lag_s_max": max((float(v) for v in sampled(samples, "lagseconds") if v), default=None),
        "rss_kib_at_alarm": rss_at_on,
        "rss_kib_peak_after_alarm_set": rss_peak,
        "rss_growth_mib": round((rss_peak - rss_at_on) / 1024, 1),
        "rss_kib_every_5s": [(round(at - started), kib) for at, kib, _ in samples][::5],
    })
    figures["latency_ratio"] = round(figures["writers_call_median_ms_during_alarm"]
                                     / figures["writers_call_median_ms_before_alarm"], 3)
    figures["probe_latency_ratio"] = round(figures["probe_modify_median_ms_during_alarm"]
                                           / figures["probe_modify_median_ms_before_alarm"], 3)
    figures["rss_growth_over_buffer"] = round(figures["rss_growth_mib"] / buffer_mb_in_effect, 3)
    return figures


# --- report --------------------------------------------------------------------

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
            "rabbitmq-server": version("rabbitmq-server"), "librabbitmq4": version("librabbitmq4"),
            "plugin": PLUGIN}


def targets(report):
    """Every target the report can judge: name, value, target, pass."""
    out = []

    def target(name, value, wanted, ok):
        out.append({"name": name, "value": value, "target": wanted, "pass": bool(ok)})

    setups = report.get("cost", {}).get("setups", {})
    if "sink" in setups and "none" in setups:
        r = setups["sink"]
        target("cost: modify median, plug-in to the sink / no plug-in", r["modify_median_ratio"],
               "<= %.2f" % SINK_LATENCY_RATIO_MAX, r["modify_median_ratio"] <= SINK_LATENCY_RATIO_MAX)
        target("cost: 8-writer throughput, plug-in to the sink / no plug-in", r["throughput_ratio"],
               ">= %.2f" % SINK_THROUGHPUT_RATIO_MIN, r["throughput_ratio"] >= SINK_THROUGHPUT_RATIO_MIN)
    for name in ("rabbitmq", "rabbitmq-busy-wait"):
        if name in setups and "none" in setups:
            r = setups[name]
            target("cost: 8-writer throughput, plug-in to %s / no plug-in" % name, r["throughput_ratio"],
                   ">= %.2f" % THROUGHPUT_RATIO_MIN, r["throughput_ratio"] >= THROUGHPUT_RATIO_MIN)
            target("cost: modify mean, plug-in to %s / no plug-in" % name, r["modify_mean_ratio"],
                   "<= %.2f" % TIME_RATIO_MAX, r["modify_mean_ratio"] <= TIME_RATIO_MAX)
        if name in setups:
            bad = {k: v for k, v in setups[name]["fault_counts"].items() if v}
            target("cost: %s, every call's events complete and in commit order" % name,
                   bad or "none", "no faults", not bad)
    if "group" in report:
        r = report["group"]
        target("group: client's wait with / without the plug-in", r["client_ratio"],
               "<= %.2f" % TIME_RATIO_MAX, r["client_ratio"] <= TIME_RATIO_MAX)
    for name in ("restart", "kill", "alarm"):
        if name in report:
            r = report[name]
            for what in ("lost", "disordered", "fullsyncs"):
                target("%s: events %s" % (name, what), r[what], 0, r[what] == 0)
            other = {k: v for k, v in r["fault_counts"].items()
                     if v and k not in ("missing", "incomplete", "out_of_order",
                                        "seq_jumps_without_fullsync", "stray_modify_events")}
            target("%s: no other fault (properties, unexpected events, copies that differ)" % name,
                   other or "none", "no faults", not other)
    if "soak" in report:
        r = report["soak"]
        target("soak: server RSS growth per operation, with the plug-in less without it (bytes)",
               r["plugin_bytes_per_op"], "< %.0f" % SOAK_BYTES_PER_OP_MAX,
               r["plugin_bytes_per_op"] < SOAK_BYTES_PER_OP_MAX)
    if "alarm" in report:
        r = report["alarm"]
        target("alarm: writers' median call time during / before the alarm", r["latency_ratio"],
               "<= %.2f" % TIME_RATIO_MAX, r["latency_ratio"] <= TIME_RATIO_MAX)
        target("alarm: server RSS growth / BUFFER_MB (%d MiB)" % r["buffer_mb"], r["rss_growth_over_buffer"],
               "<= %.2f" % RSS_OVER_BUFFER_MAX, r["rss_growth_over_buffer"] <= RSS_OVER_BUFFER_MAX)
    return out


def main():
    global PLUGIN
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", choices=MEASUREMENTS, action="append",
                        help="run only this measurement (may be given more than once)")
    parser.add_argument("--setups", default=",".join(SETUPS),
                        help="the cost's set-ups, comma-separated (default: all: %(default)s)")
    parser.add_argument("--writers", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=5, help="the cost's interleaved rounds")
    parser.add_argument("--seconds", type=int, default=20,
                        help="measured seconds of the writers' load per set-up and round")
    parser.add_argument("--warm-up", type=int, default=5,
                        help="seconds of load not counted, after the modifies")
    parser.add_argument("--modifies", type=int, default=3000, help="a single client's, over all rounds")
    parser.add_argument("--members", type=int, default=100000)
    parser.add_argument("--soak-modifies", type=int, default=1000000,
                        help="modifies of the soak, per set-up")
    parser.add_argument("--alarm", type=int, default=60, help="seconds of the memory alarm")
    parser.add_argument("--alarm-buffer-mb", type=int, default=0,
                        help="BUFFER_MB during the alarm (default: the plug-in's, 256)")
    parser.add_argument("--profile", action="store_true",
                        help="after the cost: one more load each without the plug-in and to the "
                             "sink with ns-slapd under perf record -g (not counted in the figures)")
    parser.add_argument("--plugin", help="plug-in library (default: $DIRMIRROR_PLUGIN or %s)" % PLUGIN)
    parser.add_argument("--split-cores", action="store_true",
                        help="the directory server on one core, all else on the others")
    parser.add_argument("--report", default=os.path.join(REPO, "build", "bench-report.json"))
    args = parser.parse_args()
    PLUGIN = os.path.abspath(args.plugin or PLUGIN)
    only = [m for m in MEASUREMENTS if m in (args.only or MEASUREMENTS)]
    setups = [s for s in args.setups.split(",") if s]
    unknown = set(setups) - set(SETUPS)
    if unknown:
        parser.error("unknown set-ups: %s" % ", ".join(sorted(unknown)))
    if args.split_cores:
        split_cores()

    queue = Queue()
    brokers = Brokers(queue)
    report = {"machine": machine(), "date": time.strftime("%Y-%m-%d %H:%M:%S"),
              "split_cores": args.split_cores, "arguments": vars(args)}
    began = time.monotonic()
    try:
        for name in only:
            log("measuring", name)
            t0 = time.monotonic()
            with open("/proc/loadavg") as f:
                load_before = f.read().split()[:3]
            if name == "cost":
                report["cost"] = bench_cost(queue, brokers, setups, args.rounds, args.writers,
                                            args.modifies, args.seconds, args.warm_up)
                if args.profile:
                    report["cost"]["profile"] = {
                        s: profile_run(brokers, s, args.writers, 20, args.warm_up)
                        for s in ("none", "sink")}
                report["cost"]["sink_broker"] = brokers.stop()
            elif name == "group":
                report["group"] = bench_group(queue, args.members)
            elif name == "restart":
                report["restart"] = bench_restart(queue, args.writers)
            elif name == "kill":
                report["kill"] = bench_kill(queue, args.writers)
            elif name == "soak":
                report["soak"] = bench_soak(brokers, args.writers, args.soak_modifies)
            else:
                report["alarm"] = bench_alarm(queue, args.writers, args.alarm, args.alarm_buffer_mb)
            report[name]["loadavg_before"] = load_before
            report[name]["wall_s"] = round(time.monotonic() - t0)
            print(json.dumps({name: {k: v for k, v in report[name].items() if k != "runs"}}), flush=True)
    finally:
        brokers.stop()
        run("testbed/ds-stop")
        # A plain start writes ds-start's own settings file again; the server
        # is then stopped, as the bench leaves it.
        if SETTINGS.exists() and b"BUFFER_MB" in SETTINGS.read_bytes():
            run("testbed/ds-start")
            run("testbed/ds-stop")
    report["wall_s"] = round(time.monotonic() - began)
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
