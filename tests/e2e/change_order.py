"""Clients that write changes while recording when each call was sent and
answered, and the check of a queue's messages against those changes.

The check rests on one fact: an operation whose result a client had before
another operation was sent committed before it. Events must come out in
commit order, so such a pair must show up in that order in the queue; pairs
that overlapped in time may come in either order."""
import bisect
import json
import threading
import time

import ldap
import ldap.modlist

FULLSYNC = b'{"op_type": "FULLSYNC"}'
ALIVE = b'{"op_type": "ALIVE"}'
# One client modification gives its own event and then the server's
# modifiersName and modifyTimestamp.
MODIFY_EVENTS = 3
USERS = "cn=users,cn=accounts,dc=lab"


class Op:
    """One successful client call: what it changed and when (time.monotonic())
    it was sent and answered. `tag` is the modify's value, None otherwise."""
    __slots__ = ("dn", "kind", "tag", "sent", "returned")

    def __init__(self, dn, kind, tag, sent, returned):
        self.dn, self.kind, self.tag, self.sent, self.returned = dn, kind, tag, sent, returned

    def key(self):
        return (self.dn, self.kind, self.tag)

    def __repr__(self):
        return "Op(%s %s %s)" % (self.kind, self.dn, self.tag or "")


def write_entries(conn, name, ops, deadline=None, entries=None, modifies=1, stop=None):
    """Adds, modifies (`modifies` times) and deletes fresh entries below
    cn=users, each call after the previous result, until `deadline`,
    `entries` entries or the event `stop`; appends every successful call to
    `ops`. Returns the number of failed calls (an entry is left after its
    first failure)."""
    failed = n = 0
    while ((entries is None or n < entries) and (deadline is None or time.monotonic() < deadline)
           and not (stop and stop.is_set())):
        cn = "%s-%d" % (name, n)
        dn = "cn=%s,%s" % (cn, USERS)
        calls = [("add", None, lambda: conn.add_s(dn, ldap.modlist.addModlist(
            {"objectClass": [b"top", b"nsContainer", b"extensibleObject"], "cn": [cn.encode()]})))]
        for m in range(modifies):
            tag = "%s m%d" % (cn, m)
            calls.append(("modify", tag, lambda tag=tag: conn.modify_s(
                dn, [(ldap.MOD_REPLACE, "description", [tag.encode()])])))
        calls.append(("delete", None, lambda: conn.delete_s(dn)))
        for kind, tag, call in calls:
            sent = time.monotonic()
            try:
                call()
            except ldap.LDAPError:
                failed += 1
                break
            ops.append(Op(dn, kind, tag, sent, time.monotonic()))
        n += 1
    return failed


def run_writers(connect, count, seconds, prefix, stop=None):
    """`count` threads, each on its own connection from connect(), run
    write_entries() for `seconds` (or until the event `stop`). Returns (ops,
    failed calls)."""
    ops, failed, lock = [], [0], threading.Lock()
    deadline = time.monotonic() + seconds

    def writer(i):
        mine = []
        conn = connect()
        bad = write_entries(conn, "%s-%d" % (prefix, i), mine, deadline=deadline, stop=stop)
        conn.unbind_s()
        with lock:
            ops.extend(mine)
            failed[0] += bad

    threads = [threading.Thread(target=writer, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return ops, failed[0]


class _Received:
    """The events of one operation as they came: position of the first one."""
    __slots__ = ("dn", "kind", "tag", "pos", "count")

    def __init__(self, dn, kind, tag, pos):
        self.dn, self.kind, self.tag, self.pos, self.count = dn, kind, tag, pos, 1

    def complete(self):
        return self.count == (MODIFY_EVENTS if self.kind == "modify" else 1)


def _group(messages, faults):
    """The change events, grouped into operations (a modify's events follow
    each other numbered from 0; other operations' events may come between)."""
    groups, filling = [], {}
    for pos, m in enumerate(messages):
        if m.body in (FULLSYNC, ALIVE):
            continue
        try:
            ev = json.loads(m.body.decode("utf-8"))
            if "op_type" in ev:
                dn, kind, index = ev["dn"], ev["op_type"], 0
            else:
                [(index, ev)] = ev.items()
                dn, kind, index = ev["dn"], "modify", int(index)
        except (ValueError, KeyError, AttributeError):
            faults["invalid"].append(pos)
            continue
        if index == 0:
            tag = None
            if kind == "modify":  # the client's value, as write_entries() sets it
                values = next(iter(ev.get("arg", {}).values()), [])
                tag = values[0] if values and isinstance(values[0], str) else None
            groups.append(_Received(dn, kind, tag, pos))
            if kind == "modify":
                filling[dn] = groups[-1]
        elif filling.get(dn) is not None and filling[dn].count == index:
            filling[dn].count += 1
        else:
            faults["stray_modify_events"].append(pos)
    return groups


def positions(messages):
    """Where each operation's events begin in the queue: {Op.key(): position}
    (complete or not), and the positions of the FULLSYNCs."""
    found = {}
    for g in _group(messages, {"invalid": [], "stray_modify_events": []}):
        found.setdefault((g.dn, g.kind, g.tag), g.pos)
    return found, [pos for pos, m in enumerate(messages) if m.body == FULLSYNC]


def _check_properties(messages, wall, faults):
    ids = set()
    for pos, m in enumerate(messages):
        change = m.body not in (FULLSYNC, ALIVE)
        ok = (m.content_type == "text/plain" and m.delivery_mode == 2
              and isinstance(m.message_id, str) and m.message_id != ""
              and isinstance(m.timestamp, int)
              and (wall is None or wall[0] - 1 <= m.timestamp <= wall[1] + 1)
              and isinstance(m.seq, int) == change)
        if not ok:
            faults["properties"].append(pos)
        if m.message_id in ids:
            faults["duplicate_message_ids"].append(pos)
        ids.add(m.message_id)


def _check_seq(messages, faults):
    """Between two FULLSYNCs (and after the last) seq counts up by one."""
    last = None
    for pos, m in enumerate(messages):
        if m.body == FULLSYNC:
            last = None
        elif m.body != ALIVE and isinstance(m.seq, int):
            if last is not None and m.seq != last + 1:
                faults["seq_jumps_without_fullsync"].append(pos)
            last = m.seq


def check(messages, ops, wall=None):
    """Compares the queue's messages (in queue order; objects with body, seq,
    message_id, timestamp, content_type, delivery_mode) with the successful
    calls `ops`. `wall`: (first, last) time.time() the messages may carry.

    Returns (figures, faults): faults maps a kind of fault to the positions
    (or ops) where it was seen; every list empty means the stream fits:
      missing / incomplete   an op with no events, or a modify without all of them
      unexpected             events of no successful op, or twice
      out_of_order           an op's events queued after those of an op that
                             was sent only after its result came
      missing_without_fullsync  a missing op with no FULLSYNC after every
                             received event that certainly preceded it
      resumed_before_fullsync   a missing op, and events that certainly came
                             after it, with no FULLSYNC in between
    and the invalid JSON, stray modify events, property, message_id and seq
    faults."""
    faults = {k: [] for k in (
        "invalid", "stray_modify_events", "properties", "duplicate_message_ids",
        "seq_jumps_without_fullsync", "missing", "incomplete", "unexpected", "out_of_order",
        "missing_without_fullsync", "resumed_before_fullsync")}
    _check_properties(messages, wall, faults)
    _check_seq(messages, faults)
    received = {}
    for g in _group(messages, faults):
        key = (g.dn, g.kind, g.tag)
        if key in received:
            faults["unexpected"].append(g.pos)
        else:
            received[key] = g
    matched, missing = [], []
    for op in ops:
        g = received.pop(op.key(), None)
        if g is None or not g.complete():
            faults["missing" if g is None else "incomplete"].append(op)
            missing.append(op)
        else:
            matched.append((g.pos, op))
    faults["unexpected"] += [g.pos for g in received.values()]

    # Queue order against commit order: walking back from the end of the
    # queue, the earliest answer among the ops queued later must not come
    # before this op was sent.
    matched.sort(key=lambda p: p[0])
    earliest_later = float("inf")
    for pos, op in reversed(matched):
        if earliest_later < op.sent:
            faults["out_of_order"].append(op)
        earliest_later = min(earliest_later, op.returned)

    # A missing op m belongs after every received op answered before m was
    # sent (the last of them at `before`) and ahead of every received op sent
    # after m's answer (the first at `after`). A FULLSYNC must follow
    # `before`, and one must come ahead of `after`.
    fullsyncs = [pos for pos, m in enumerate(messages) if m.body == FULLSYNC]
    by_answer = sorted(matched, key=lambda p: p[1].returned)
    answers = [op.returned for _, op in by_answer]
    latest = []
    for pos, _ in by_answer:
        latest.append(max(pos, latest[-1]) if latest else pos)
    by_sending = sorted(matched, key=lambda p: p[1].sent)
    sendings = [op.sent for _, op in by_sending]
    earliest = [pos for pos, _ in by_sending]
    for i in range(len(earliest) - 2, -1, -1):
        earliest[i] = min(earliest[i], earliest[i + 1])
    for op in missing:
        i = bisect.bisect_left(answers, op.sent)
        before = latest[i - 1] if i else -1
        j = bisect.bisect_right(sendings, op.returned)
        after = earliest[j] if j < len(earliest) else None
        k = bisect.bisect_right(fullsyncs, before)
        if k == len(fullsyncs):
            faults["missing_without_fullsync"].append(op)
        elif after is not None and fullsyncs[k] > after:
            faults["resumed_before_fullsync"].append(op)

    figures = {
        "operations": len(ops),
        "expected_events": sum(MODIFY_EVENTS if op.kind == "modify" else 1 for op in ops),
        "received_events": sum(1 for m in messages if m.body not in (FULLSYNC, ALIVE)),
        "fullsyncs": len(fullsyncs),
        "entries": len({op.dn for op in ops}),
    }
    return figures, faults


def dedupe(messages):
    """At-least-once delivery: a message may come again with the same
    message_id (the plug-in publishing what the broker had not confirmed, or
    the broker handing a consumer what it had not acknowledged). Keeps the
    first of each message_id, in queue order. Returns (the messages kept, the
    copies dropped, the copies that differ from their first in body, seq or
    headers: a fault, a copy must be the same message)."""
    first, kept, copies, differing = {}, [], 0, []
    for pos, m in enumerate(messages):
        seen = first.get(m.message_id) if m.message_id else None
        if seen is None:
            if m.message_id:
                first[m.message_id] = m
            kept.append(m)
            continue
        copies += 1
        if (seen.body, seen.seq, seen.headers) != (m.body, m.seq, m.headers):
            differing.append(pos)
    return kept, copies, differing


def summary(faults, examples=3):
    """The faults seen: count and a few examples per kind."""
    return {k: {"count": len(v), "examples": [repr(x) for x in v[:examples]]}
            for k, v in faults.items() if v}
