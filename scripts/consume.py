#!/usr/bin/python3
"""Read dirmirror events from RabbitMQ and print each message body on its own line.

Usage: consume [--count N] [--timeout SECONDS] [--purge]
               [--queue NAME [--exchange NAME --bind KEY ...]]

Bodies are written byte for byte; a line feed is added only when the body
does not already end with one.  Each message is acknowledged after it has
been written, so a message is never lost between broker and terminal.

With --bind (ROUTING=per-subtree), the queue is declared and bound to each
KEY on the topic exchange --exchange, and each body is printed after the
routing key it came with.

Exit status: 0 on normal end (N messages read, idle timeout without --count,
purge done); 1 when --count N was given and the timeout came first or the
queue is missing / broker unreachable; 130 on Ctrl-C.
"""
import argparse
import os
import signal
import sys

import pika
import pika.exceptions


def parse_args():
    p = argparse.ArgumentParser(prog="consume", description=__doc__.splitlines()[0])
    p.add_argument("--count", type=int, default=None, metavar="N",
                   help="stop after N messages")
    p.add_argument("--timeout", type=float, default=None, metavar="SECONDS",
                   help="stop after SECONDS without a message (default: wait forever)")
    p.add_argument("--purge", action="store_true",
                   help="empty the queue, print how many messages were dropped (stderr), exit")
    p.add_argument("--host", default=os.environ.get("DIRMIRROR_AMQP_HOST", "127.0.0.1"))
    p.add_argument("--port", type=int, default=int(os.environ.get("DIRMIRROR_AMQP_PORT", "5672")))
    p.add_argument("--queue", default="dirmirror.events")
    p.add_argument("--exchange", default="dirmirror.topic", help="topic exchange for --bind")
    p.add_argument("--bind", action="append", default=[], metavar="KEY",
                   help="declare the queue, bind it to KEY (repeatable), print each routing key")
    a = p.parse_args()
    if a.count is not None and a.count < 1:
        p.error("--count must be at least 1")
    if a.timeout is not None and a.timeout <= 0:
        p.error("--timeout must be positive")
    return a


def _interrupt(_signum, _frame):
    raise KeyboardInterrupt


def main():
    a = parse_args()
    # Let a downstream `head` close the pipe without a traceback.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    # Ctrl-C / kill end the loop cleanly even when started with SIGINT
    # ignored (a background job of a non-interactive shell).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, _interrupt)
    params = pika.ConnectionParameters(
        host=a.host, port=a.port,
        credentials=pika.PlainCredentials("guest", "guest"),
        blocked_connection_timeout=30)
    try:
        conn = pika.BlockingConnection(params)
    except pika.exceptions.AMQPConnectionError as e:
        print(f"consume: cannot connect to {a.host}:{a.port}: {e!r}", file=sys.stderr)
        return 1
    ch = conn.channel()
    if a.bind:
        ch.exchange_declare(a.exchange, exchange_type="topic", durable=True)
        ch.queue_declare(a.queue, durable=True)
        for key in a.bind:
            ch.queue_bind(a.queue, a.exchange, routing_key=key)
    try:
        # passive: report a missing queue instead of silently creating one,
        # which would hide a broker that was never set up.
        ch.queue_declare(queue=a.queue, passive=True)
    except pika.exceptions.ChannelClosedByBroker as e:
        print(f"consume: queue {a.queue!r} not available ({e.reply_text}); run testbed/broker-start",
              file=sys.stderr)
        conn.close()
        return 1

    if a.purge:
        r = ch.queue_purge(queue=a.queue)
        print(f"consume: purged {r.method.message_count} message(s) from {a.queue}", file=sys.stderr)
        conn.close()
        return 0

    # One unacknowledged message at a time: with --count N nothing beyond the
    # N-th message is taken off the queue.
    ch.basic_qos(prefetch_count=1)
    out = sys.stdout.buffer
    got = 0
    rc = 0
    try:
        for method, _props, body in ch.consume(a.queue, inactivity_timeout=a.timeout):
            if method is None:  # idle for --timeout seconds
                if a.count is not None:
                    print(f"consume: timeout after {a.timeout:g}s with {got} of {a.count} message(s)",
                          file=sys.stderr)
                    rc = 1
                break
            if a.bind:
                out.write(method.routing_key.encode() + b" ")
            out.write(body)
            if not body.endswith(b"\n"):
                out.write(b"\n")
            out.flush()
            ch.basic_ack(method.delivery_tag)
            got += 1
            if a.count is not None and got >= a.count:
                break
    except KeyboardInterrupt:
        rc = 130
    finally:
        try:
            ch.cancel()  # unacked prefetched messages (none, with qos 1) go back to the queue
            conn.close()
        except Exception:
            pass
    return rc


if __name__ == "__main__":
    sys.exit(main())
