"""The message contract (docs/asyncapi.yaml) and its checker, without servers:
made-up messages it must accept and ones it must refuse, the document kept
consistent with itself and with the plug-in, and every reader of the
end-to-end tests checking what it reads.

Run from this folder with Debian's python:
    /usr/bin/python3 -m unittest -v contract_test
"""
import json
import re
import time
import unittest
from pathlib import Path

import pika

import contract
import e2e_support
import repl_support
import test_cluster

REPO = Path(__file__).resolve().parents[2]
DOC = contract.contract().document
NOW = int(time.time())
USERS = "cn=users,cn=accounts,dc=lab"

PROPS = {"content_type": "text/plain", "delivery_mode": 2, "message_id": "1733680000123456.4242.7",
         "timestamp": NOW}
CONTROL = {"origin": "ldap1.example.org:389", "run_id": "3f1c9a52-7d0e-4b8a-9c61-2e5f0a7b4d13",
           "format": "1.0.0"}
CHANGE = dict(CONTROL, seq=1, replicated=False, entry_uuid="5d2a7e01-7a2b11ef-8c0ad4e1-3bb1f2a0",
              csn="674f3a1b000000010000")


def wire(headers, **props):
    """Properties as pika hands them to a reader: encoded and decoded again."""
    sent = pika.BasicProperties(**dict(PROPS, headers=headers, **props))
    received = pika.BasicProperties()
    received.decode(b"".join(sent.encode()))
    return received


def event(ev):
    return json.dumps(ev, ensure_ascii=False, separators=(",", ":")).encode() + b"\n"


def add(**arg):
    return event({"dn": "uid=u1," + USERS, "op_type": "add", "arg": arg})


def mod(op, n="0", **arg):
    return event({n: {"dn": "uid=u1," + USERS, "op_type": "modify", "op": op, "arg": arg}})


def rename(**changed):
    ev = {"dn": "uid=a," + USERS, "op_type": "modrdn", "newdn": "uid=b," + USERS, "newrdn": "uid=b",
          "deleteoldrdn": True, "newsuperior": None, "arg": {"uid": ["b"]}}
    ev.update(changed)
    return event({k: v for k, v in ev.items() if v is not ...})


def without(headers, name):
    return {k: v for k, v in headers.items() if k != name}


FULLSYNC, ALIVE = e2e_support.FULLSYNC, e2e_support.ALIVE
DELETE = b'{"dn":"uid=u1,%s","op_type":"delete"}\n' % USERS.encode()


class ContractTest(unittest.TestCase):
    ACCEPTED = [  # what, body, headers, other properties
        ("FULLSYNC", FULLSYNC, CONTROL, {}),
        ("ALIVE", ALIVE, CONTROL, {}),
        ("add", add(objectClass=["top", "person"], sn=["Tester"]), CHANGE, {}),
        ("add without arg (no attribute read)", b'{"dn":"cn=x,%s","op_type":"add"}\n' % USERS.encode(),
         CHANGE, {}),
        ("add without entry_uuid and csn", add(cn=["x"]), without(without(CHANGE, "csn"), "entry_uuid"),
         {}),
        ("modify with a bare JSON value", mod("REPLACE", ipaConfig=[{"a": [1]}, "{PBKDF2}x"]), CHANGE, {}),
        ("modify: DELETE of the whole attribute", mod("DELETE", n="12", description=[]), CHANGE, {}),
        ("modify: DELETE of a bare JSON value", mod("DELETE", ipaConfig=[{}]), CHANGE, {}),
        ("modify: a code the plug-in does not know", mod("NO OPERATION", sn=[]), CHANGE, {}),
        ("modify with JSON escapes in the line", mod("ADD", jpegPhoto=["\ufffdPNG\r\n\x00"]), CHANGE, {}),
        ("delete, replicated", DELETE, dict(CHANGE, replicated=True, seq=2 ** 63 - 1), {}),
        ("modrdn", rename(), CHANGE, {}),
        ("modrdn: a move with no attribute published", rename(newsuperior="cn=groups,cn=accounts,dc=lab",
                                                             deleteoldrdn=False, arg={}), CHANGE, {}),
    ]

    REFUSED = [  # what, body, headers, other properties, words of the error
        # headers
        ("wrong format header", FULLSYNC, dict(CONTROL, format="1.0.1"), {},
         "'1.0.0' was expected (at format)"),
        ("format header missing", DELETE, without(CHANGE, "format"), {}, "'format' is a required"),
        ("run_id missing", DELETE, without(CHANGE, "run_id"), {}, "'run_id' is a required"),
        ("run_id in capitals", ALIVE, dict(CONTROL, run_id=CONTROL["run_id"].upper()), {},
         "(at run_id)"),
        ("origin without a port", ALIVE, dict(CONTROL, origin="ldap1"), {}, "(at origin)"),
        ("seq 0", DELETE, dict(CHANGE, seq=0), {}, "less than the minimum of 1 (at seq)"),
        ("seq missing on a change", DELETE, without(CHANGE, "seq"), {}, "'seq' is a required"),
        ("seq as text", DELETE, dict(CHANGE, seq="1"), {}, "is not of type 'integer'"),
        ("replicated as a number", DELETE, dict(CHANGE, replicated=1), {}, "is not of type 'boolean'"),
        ("csn in capitals", DELETE, dict(CHANGE, csn=CHANGE["csn"].upper()), {}, "(at csn)"),
        ("csn too short", DELETE, dict(CHANGE, csn=CHANGE["csn"][1:]), {}, "(at csn)"),
        ("empty entry_uuid", DELETE, dict(CHANGE, entry_uuid=""), {}, "(at entry_uuid)"),
        ("a header the plug-in never sets", DELETE, dict(CHANGE, note="x"), {}, "'note' was unexpected"),
        ("seq on a FULLSYNC", FULLSYNC, dict(CONTROL, seq=1), {}, "'seq' was unexpected"),
        ("no headers at all", ALIVE, None, {}, "'origin' is a required"),
        # properties
        ("JSON content type", DELETE, CHANGE, {"content_type": "application/json"}, "(at content_type)"),
        ("transient", DELETE, CHANGE, {"delivery_mode": 1}, "(at delivery_mode)"),
        ("empty message_id", ALIVE, CONTROL, {"message_id": ""}, "(at message_id)"),
        ("timestamp in milliseconds", ALIVE, CONTROL, {"timestamp": NOW * 1000}, "(at timestamp)"),
        ("a property the plug-in never sets", ALIVE, CONTROL, {"app_id": "x"}, "'app_id' was unexpected"),
        # control texts
        ("FULLSYNC with a line feed", FULLSYNC + b"\n", CONTROL, {}, "FULLSYNC body text"),
        ("FULLSYNC without the blank", b'{"op_type":"FULLSYNC"}', CONTROL, {}, "FULLSYNC body text"),
        ("ALIVE with more in it", b'{"op_type": "ALIVE", "at": 1}', CONTROL, {}, "ALIVE body text"),
        # change texts
        ("event without a line feed", DELETE[:-1], CHANGE, {}, "delete body text"),
        ("event with two line feeds", DELETE + b"\n", CHANGE, {}, "delete body text"),
        ("event over two lines", DELETE.replace(b'",', b'",\r\n'), CHANGE, {}, "delete body text"),
        # bodies
        ("modify with two keys", event({"0": json.loads(mod("ADD", l=["a"]))["0"],
                                        "1": json.loads(mod("ADD", l=["b"]))["0"]}), CHANGE, {},
         "too many properties (at the top)"),
        ("modify numbered 01", mod("ADD", n="01", l=["a"]), CHANGE, {}, "'01' does not match"),
        ("modify numbered -1", mod("ADD", n="-1", l=["a"]), CHANGE, {}, "'-1' does not match"),
        ("modify of two attributes", mod("ADD", l=["a"], sn=["b"]), CHANGE, {},
         "too many properties (at 0/arg)"),
        ("modify of no attribute", mod("ADD"), CHANGE, {}, "not have enough properties (at 0/arg)"),
        ("modify with an unknown op", mod("INCREMENT", uidNumber=["1"]), CHANGE, {},
         "is not one of ['ADD', 'DELETE', 'REPLACE', 'NO OPERATION'] (at 0/op)"),
        ("NO OPERATION with values", mod("NO OPERATION", sn=["x"]), CHANGE, {}, "too long (at 0/arg/sn)"),
        ("modify value a number", mod("ADD", uidNumber=[1]), CHANGE, {},
         "(at 0/arg/uidNumber/0)"),
        ("modify value a JSON array", mod("ADD", l=[[1]]), CHANGE, {}, "(at 0/arg/l/0)"),
        ("add value a number", add(uidNumber=[1000]), CHANGE, {}, "1000 is not of type 'string'"),
        ("add value a bare JSON object", add(ipaConfig=[{"a": 1}]), CHANGE, {}, "is not of type 'string'"),
        ("add attribute without values", add(cn=[]), CHANGE, {}, "too short (at arg/cn)"),
        ("add with an empty arg", add(), CHANGE, {}, "not have enough properties (at arg)"),
        ("add with a field of its own", event({"dn": "cn=x", "op_type": "add", "arg": {"cn": ["x"]},
                                              "extra": 1}), CHANGE, {}, "'extra' was unexpected"),
        ("add with an empty DN", event({"dn": "", "op_type": "add"}), CHANGE, {}, "too short (at dn)"),
        ("delete with an arg", event({"dn": "cn=x", "op_type": "delete", "arg": {}}), CHANGE, {},
         "'arg' was unexpected"),
        ("modrdn without newsuperior", rename(newsuperior=...), CHANGE, {}, "'newsuperior' is a required"),
        ("modrdn with deleteoldrdn as text", rename(deleteoldrdn="true"), CHANGE, {},
         "(at deleteoldrdn)"),
        ("modrdn without arg", rename(arg=...), CHANGE, {}, "'arg' is a required"),
        ("modrdn value a number", rename(arg={"uidNumber": [1]}), CHANGE, {},
         "(at arg/uidNumber/0)"),
        # no kind at all
        ("unknown op_type", event({"dn": "cn=x", "op_type": "rename"}), CHANGE, {}, "no kind"),
        ("a JSON array", b"[]\n", CHANGE, {}, "no kind"),
        ("not JSON", b"not json\n", CHANGE, {}, "no JSON"),
        ("NaN", b'{"dn":"cn=x","op_type":"add","arg":{"a":[NaN]}}\n', CHANGE, {}, "no JSON"),
        ("duplicate keys", b'{"dn":"cn=x","dn":"cn=y","op_type":"delete"}\n', CHANGE, {}, "no JSON"),
        ("not UTF-8", b'{"dn":"cn=\xff","op_type":"delete"}\n', CHANGE, {}, "not UTF-8"),
    ]

    def test_accepted(self):
        for what, body, headers, props in self.ACCEPTED:
            with self.subTest(what):
                contract.check(body, wire(headers, **props))

    def test_refused(self):
        for what, body, headers, props, words in self.REFUSED:
            with self.subTest(what):
                properties = wire(headers, **props)
                with self.assertRaises(AssertionError) as caught:
                    contract.check(body, properties)
                text = str(caught.exception)
                self.assertIn(words, text)
                self.assertIn("message %s " % properties.message_id, text)  # names the message


class DocumentTest(unittest.TestCase):
    """The document agrees with itself, with the plug-in and with pika."""

    def test_version_everywhere(self):
        version = DOC["info"]["version"]
        self.assertEqual(DOC["components"]["schemas"]["Format"]["const"], version)
        source = (REPO / "src" / "broker_link.h").read_text()
        self.assertEqual(re.findall(r'kMessageFormat\[\] = "([^"]*)"', source), [version])

    def test_examples_follow_their_schemas(self):
        resolver = contract.jsonschema.RefResolver("", DOC)
        for name, message in DOC["components"]["messages"].items():
            self.assertTrue(message.get("examples"), name)
            for example in message["examples"]:
                for part in ("headers", "payload"):
                    with self.subTest(message=name, part=part):
                        contract.jsonschema.Draft7Validator(
                            message[part], resolver=resolver).validate(example[part])

    def test_every_message_is_published_and_checked(self):
        messages = DOC["components"]["messages"]
        listed = [m["$ref"].rsplit("/", 1)[1]
                  for m in DOC["channels"]["{RABBIT_ROUTINGKEY}"]["subscribe"]["message"]["oneOf"]]
        self.assertEqual(sorted(listed), sorted(messages))
        self.assertEqual(sorted(contract.KINDS.values()), sorted(messages))

    def test_schemas_use_only_keywords_a_validator_knows(self):
        # A misspelt keyword is ignored by validators: the schema would accept more.
        known = set(contract.jsonschema.Draft7Validator.VALIDATORS) | {
            "$ref", "then", "else", "description", "title", "examples", "default", "$comment"}
        under = {"properties", "patternProperties", "definitions"}  # maps of names to schemas

        def walk(schema, path):
            if not isinstance(schema, dict):
                return
            self.assertLessEqual(set(schema) - known, set(), path)
            for key, value in schema.items():
                if key in under:
                    for name, sub in value.items():
                        walk(sub, "%s/%s/%s" % (path, key, name))
                elif isinstance(value, dict):
                    walk(value, "%s/%s" % (path, key))
                elif isinstance(value, list) and key in ("allOf", "anyOf", "oneOf", "items"):
                    for i, sub in enumerate(value):
                        walk(sub, "%s/%s/%d" % (path, key, i))

        for name, schema in DOC["components"]["schemas"].items():
            walk(schema, name)

    def test_every_pika_property_is_looked_at(self):
        self.assertEqual(sorted(contract.PROPERTY_NAMES), sorted(vars(pika.BasicProperties())))


class FakeChannel:
    """Hands out the given messages as a pika channel does: basic_get,
    consume (None after them) and basic_consume with process_data_events."""
    is_open = True

    def __init__(self, messages):
        self.messages = list(messages)
        self.callback = None

    def next(self):
        body, properties = self.messages.pop(0)
        return object(), properties, body

    def basic_get(self, queue, auto_ack):
        return self.next() if self.messages else (None, None, None)

    def basic_qos(self, prefetch_count):
        pass

    def consume(self, queue, auto_ack, inactivity_timeout):
        while self.messages:
            yield self.next()
        yield None, None, None

    def cancel(self):
        pass

    def queue_purge(self, queue):
        pass

    def basic_consume(self, queue, callback, auto_ack):
        self.callback = callback

    # As the connection of test_cluster's consumer.
    def channel(self):
        return self

    def process_data_events(self, time_limit):
        while self.messages:
            self.callback(self, *self.next())
        time.sleep(time_limit)

    def close(self):
        pass


class ReadersTest(unittest.TestCase):
    """Every way the end-to-end tests read the broker checks each message."""
    GOOD = (FULLSYNC, wire(CONTROL))
    BAD = (FULLSYNC + b"\n", wire(CONTROL))

    READERS = [  # what, read through e2e_support.Queue
        ("Queue.get", lambda q: [q.get(), q.get()]),
        ("Queue.take", lambda q: q.take(2, timeout=2)),
        ("Queue.until", lambda q: q.until(lambda got: len(got) == 2, timeout=2)),
        ("Queue.drain", lambda q: q.drain(quiet=0.2)),
        ("Queue.consume_all", lambda q: q.consume_all(quiet=0.1)),
    ]

    def queue(self, messages):
        q = e2e_support.Queue()
        q._channel = FakeChannel(messages)
        return q

    def test_queue_readers(self):
        for what, read in self.READERS:
            with self.subTest(what):
                got = read(self.queue([self.GOOD, self.GOOD]))
                self.assertEqual([m.body for m in got], [FULLSYNC, FULLSYNC])
                with self.assertRaisesRegex(AssertionError, "FULLSYNC body text"):
                    read(self.queue([self.GOOD, self.BAD]))

    def test_cluster_consumer(self):
        # test_cluster's consumer turns what its callback raised into .error.
        for messages, error in (([self.GOOD], None), ([self.GOOD, self.BAD], AssertionError)):
            with self.subTest(error=error):
                channel = FakeChannel([])
                original = test_cluster.pika.BlockingConnection
                test_cluster.pika.BlockingConnection = lambda params: channel
                try:
                    consumer = test_cluster.Consumer(test_cluster.NODES[1])
                    consumer.start_reading()
                finally:
                    test_cluster.pika.BlockingConnection = original
                channel.messages.extend(messages)  # once it reads, as the broker would
                deadline = time.monotonic() + 5
                while channel.messages and time.monotonic() < deadline:
                    time.sleep(0.05)
                consumer.stop()
                self.assertFalse(consumer.is_alive())
                self.assertEqual(type(consumer.error) if consumer.error else None, error)
                self.assertEqual([m.body for m in consumer.messages], [FULLSYNC])

    def test_replication_queue(self):
        self.assertEqual(repl_support.Message(*self.GOOD).body, FULLSYNC)
        with self.assertRaisesRegex(AssertionError, "FULLSYNC body text"):
            repl_support.Message(*self.BAD)


if __name__ == "__main__":
    unittest.main()
