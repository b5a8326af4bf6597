"""Checks a message read from the broker against the message contract,
docs/asyncapi.yaml (Debian's python3-jsonschema and python3-yaml).

check(body, properties) raises AssertionError, naming the message and the
first schema error, unless the body's text and JSON, the AMQP properties and
the headers all follow the schemas of the body's kind."""
import json
import threading
from pathlib import Path

import jsonschema
import yaml

DOCUMENT = Path(__file__).resolve().parents[2] / "docs" / "asyncapi.yaml"

# The kind of a body is its op_type (a modify event's inside its one member),
# named here as components.messages names it.
KINDS = {"add": "add", "modify": "modify", "delete": "delete", "modrdn": "modrdn",
         "FULLSYNC": "fullsync", "ALIVE": "alive"}
# The parts of a message and where the document keeps their schemas.
PARTS = (("body text", "x-body-text"), ("body", "payload"),
         ("properties", "x-amqp-properties"), ("headers", "headers"))
# Every property pika decodes (pika.spec.BasicProperties); unset ones are None.
PROPERTY_NAMES = ("content_type", "content_encoding", "headers", "delivery_mode", "priority",
                  "correlation_id", "reply_to", "expiration", "message_id", "timestamp", "type",
                  "user_id", "app_id", "cluster_id")


class Contract:
    def __init__(self, document):
        self.document = document
        # Schemas refer to each other as '#/components/schemas/...' in the document.
        resolver = jsonschema.RefResolver("", document)
        messages = document["components"]["messages"]
        self.validators = {
            kind: [(part, jsonschema.Draft7Validator(messages[name][key], resolver=resolver))
                   for part, key in PARTS]
            for kind, name in KINDS.items()}

    def check(self, body, properties):
        """Raises AssertionError unless the message follows the contract."""
        def fail(what):
            raise AssertionError("message %s %s: %s" % (
                getattr(properties, "message_id", None), _shorten(repr(body), 200), what))

        try:
            text = body.decode("utf-8")
            parsed = json.loads(text, object_pairs_hook=_no_duplicate_keys,
                                parse_constant=_no_constant)
        except UnicodeDecodeError as e:
            fail("body is not UTF-8 (%s)" % e)
        except ValueError as e:
            fail("body is no JSON of any kind (%s)" % e)
        kind = kind_of(parsed)
        if kind not in self.validators:
            fail("body is of no kind the contract knows (%s)" % " ".join(sorted(KINDS)))
        props = {p: getattr(properties, p, None) for p in PROPERTY_NAMES}
        headers = props.pop("headers") or {}
        values = {"body text": text, "body": parsed, "headers": headers,
                  "properties": {p: v for p, v in props.items() if v is not None}}
        for part, validator in self.validators[kind]:
            error = jsonschema.exceptions.best_match(validator.iter_errors(values[part]))
            if error is not None:
                fail("%s %s: %s (at %s)" % (kind, part, _shorten(error.message),
                                            "/".join(map(str, error.absolute_path)) or "the top"))


def kind_of(parsed):
    """The op_type of a parsed body, at its top or in its first member; None
    when it has none. (A modify body with more than one member is left to
    the schema to refuse, so that its error says why.)"""
    if not isinstance(parsed, dict):
        return None
    if "op_type" in parsed:
        return parsed["op_type"] if isinstance(parsed["op_type"], str) else None
    inner = next(iter(parsed.values()), None)
    if isinstance(inner, dict) and isinstance(inner.get("op_type"), str):
        return inner["op_type"]
    return None


def _no_duplicate_keys(pairs):
    keys = [k for k, _ in pairs]
    if len(keys) != len(set(keys)):
        raise ValueError("duplicate keys %r" % keys)
    return dict(pairs)


def _no_constant(name):
    raise ValueError("%s is not JSON" % name)


def _shorten(text, limit=300):
    return text if len(text) <= limit else text[:limit] + "..."


_contract = None
_contract_lock = threading.Lock()


def contract():
    """The contract of docs/asyncapi.yaml, read once."""
    global _contract
    with _contract_lock:
        if _contract is None:
            _contract = Contract(yaml.safe_load(DOCUMENT.read_text(encoding="utf-8")))
        return _contract


def check(body, properties):
    """Raises AssertionError unless the message follows docs/asyncapi.yaml."""
    contract().check(body, properties)
