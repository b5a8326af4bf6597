#!/usr/bin/python3
"""Drives dirmirror-sink-broker as the benchmark's publishers will, and as they
must not: bad command lines are refused; each of pika's publishes is
confirmed; raw frames check delivery tags, the close that answers each kind of
malformed input, and connection.blocked; the totals line adds it all up.

Usage: sink_broker_check.py PATH-TO-dirmirror-sink-broker
"""
import signal
import socket
import struct
import subprocess
import sys
import time

import pika
import pika.frame
from pika import spec

BROKER = sys.argv[1]
FRAME_MAX = 131072
BODY_MAX = FRAME_MAX - 8  # the most body one frame carries
failures = []
brokers = []  # stopped at exit, whatever happened


def check(ok, what):
    print(('ok:   ' if ok else 'FAIL: ') + what)
    if not ok:
        failures.append(what)


class Broker:
    def __init__(self, *args):
        self.process = subprocess.Popen([BROKER, *args], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        first = self.process.stdout.readline().split()
        assert first[0] == 'port' and int(first[1]) > 0, first
        self.port = int(first[1])
        brokers.append(self.process)

    def stop(self):
        """SIGTERM; returns the rest of stdout and all of stderr."""
        self.process.send_signal(signal.SIGTERM)
        out, err = self.process.communicate(timeout=10)
        check(self.process.returncode == 0, f'exit status {self.process.returncode} on SIGTERM')
        return out, err


def publish_frames(channel, body, header_size=None, piece=BODY_MAX):
    """basic.publish, its content header and the body cut into frames of `piece` bytes."""
    size = len(body) if header_size is None else header_size
    frames = [pika.frame.Method(channel, spec.Basic.Publish(exchange='sink', routing_key='k')),
              pika.frame.Header(channel, size, spec.BasicProperties())]
    frames += [pika.frame.Body(channel, body[i:i + piece]) for i in range(0, len(body), piece)]
    return b''.join(frame.marshal() for frame in frames)


def method_frame(channel, method):
    return pika.frame.Method(channel, method).marshal()


class RawClient:
    """A client on pika's frame codec, free to send what pika itself never would."""

    def __init__(self, port):
        self.sock = socket.create_connection(('127.0.0.1', port), timeout=10)
        self.buffer = b''

    def send(self, data):
        self.sock.sendall(data)

    def next_frame(self):
        """The next frame from the broker, or None once it has closed the connection."""
        while True:
            used, frame = pika.frame.decode_frame(self.buffer)
            if frame:
                self.buffer = self.buffer[used:]
                return frame
            more = self.sock.recv(65536)
            if not more:
                return None
            self.buffer += more

    def expect(self, channel, method_class):
        frame = self.next_frame()
        if not (isinstance(frame, pika.frame.Method) and frame.channel_number == channel
                and isinstance(frame.method, method_class)):
            raise AssertionError(f'wanted {method_class.NAME} on channel {channel}, got {frame}')
        return frame.method

    def login(self, capabilities=None):
        self.send(b'AMQP\x00\x00\x09\x01')
        start = self.expect(0, spec.Connection.Start)
        self.send(method_frame(0, spec.Connection.StartOk(
            client_properties={'capabilities': capabilities or {}}, response='\0guest\0guest')))
        tune = self.expect(0, spec.Connection.Tune)
        self.send(method_frame(0, spec.Connection.TuneOk(tune.channel_max, tune.frame_max, 0)))
        self.send(method_frame(0, spec.Connection.Open()))
        self.expect(0, spec.Connection.OpenOk)
        return start, tune

    def open_channel(self, channel, confirm):
        self.send(method_frame(channel, spec.Channel.Open()))
        self.expect(channel, spec.Channel.OpenOk)
        if confirm:
            self.send(method_frame(channel, spec.Confirm.Select()))
            self.expect(channel, spec.Confirm.SelectOk)

    def expect_acks(self, channel, tags):
        for tag in tags:
            ack = self.expect(channel, spec.Basic.Ack)
            if (ack.delivery_tag, ack.multiple) != (tag, False):
                raise AssertionError(f'wanted ack {tag}, got {ack}')


def refuses_bad_command_lines():
    cases = [  # arguments, what stderr must say
        (['--port', '70000'], "--port takes a whole number from 0 to 65535, not '70000'"),
        (['--port', 'abc'], "--port takes a whole number from 0 to 65535, not 'abc'"),
        (['--block-after', '-1'], "--block-after takes a whole number"),
        (['--block-seconds', '1.5'], "--block-seconds takes a whole number from 0 to 86400"),
        (['--verbose', '1'], "unknown option '--verbose'"),
        (['--port'], '--port needs a value'),
    ]
    for args, message in cases:
        run = subprocess.run([BROKER, *args], capture_output=True, text=True, timeout=10)
        check(run.returncode == 2 and message in run.stderr and not run.stdout,
              f'{args} refused with "{message}" (status {run.returncode}: {run.stderr.strip()!r})')


def confirms_with_delivery_tags(port):
    """Tags count 1, 2, 3 per confirming channel; a channel not in confirm mode gets no ack.
    Returns the body sizes it published."""
    client = RawClient(port)
    start, tune = client.login()
    check(start.server_properties['capabilities'] == {
        'publisher_confirms': True, 'basic.nack': True, 'connection.blocked': True}
        and start.mechanisms == b'PLAIN AMQPLAIN' and start.locales == b'en_US',
        f'connection.start offers {start.server_properties}, {start.mechanisms}, {start.locales}')
    check((tune.channel_max, tune.frame_max, tune.heartbeat) == (2047, FRAME_MAX, 0),
          f'connection.tune {tune}')
    client.open_channel(1, confirm=True)
    client.open_channel(2, confirm=False)
    bodies = [b'', b'abcde', b'z' * (2 * BODY_MAX + 1)]
    client.send(publish_frames(1, bodies[0]) + publish_frames(1, bodies[1], piece=2)
                + publish_frames(1, bodies[2]) + publish_frames(2, b'unacked')
                + pika.frame.Heartbeat().marshal()
                + method_frame(2, spec.Channel.Close(200, 'done', 0, 0)))
    client.expect_acks(1, [1, 2, 3])
    client.expect(2, spec.Channel.CloseOk)
    client.send(method_frame(0, spec.Connection.Close(200, 'done', 0, 0)))
    client.expect(0, spec.Connection.CloseOk)
    check(client.next_frame() is None, 'socket closed after connection.close-ok')
    return [len(body) for body in bodies] + [len(b'unacked')]


def raw_method(channel, class_id, method_id, args):
    payload = struct.pack('>HH', class_id, method_id) + args
    return struct.pack('>BHI', 1, channel, len(payload)) + payload + b'\xce'


CONFIRM_SELECT = method_frame(1, spec.Confirm.Select())
PUBLISH_HEAD = method_frame(1, spec.Basic.Publish(exchange='sink', routing_key='k'))
MALFORMED = [  # what follows a login and channel 1's opening, the reply code that ends it
    ('bad frame-end octet', CONFIRM_SELECT[:-1] + b'\xff', 501),
    ('unknown frame type', struct.pack('>BHI', 9, 1, 1) + b'x\xce', 501),
    ('frame one byte past frame-max', struct.pack('>BHI', 3, 1, BODY_MAX + 1), 501),
    ('queue name running past its frame', raw_method(1, 50, 10, b'\0\0\x05ab'), 501),
    ('unknown field type in declare arguments',
     raw_method(1, 40, 10, b'\0\0\x01e\x06direct\0' + struct.pack('>I', 3) + b'\x01kZ'), 501),
    ('content header without basic.publish',
     pika.frame.Header(1, 3, spec.BasicProperties()).marshal(), 505),
    ('method while a body is due', publish_frames(1, b'', header_size=10) + CONFIRM_SELECT, 505),
    ('body longer than its header', publish_frames(1, b'abc', header_size=2), 501),
    ('publish on a channel never opened', publish_frames(5, b'x'), 504),
]


def closes_on_malformed_input(port):
    for name, data, code in MALFORMED:
        client = RawClient(port)
        client.login()
        client.open_channel(1, confirm=True)
        client.send(data)
        close = client.expect(0, spec.Connection.Close)
        check(close.reply_code == code and close.reply_text and client.next_frame() is None,
              f'{name}: closed with {close.reply_code} "{close.reply_text}"')
    client = RawClient(port)
    client.send(b'HTTP/1.1')
    check(client.sock.recv(100) == b'AMQP\x00\x00\x09\x01' and client.sock.recv(100) == b'',
          'a foreign protocol header gets the AMQP 0-9-1 header, then the socket closes')


def serves_pika_and_survives_bad_clients():
    broker = Broker('--port', '0')
    connection = pika.BlockingConnection(pika.ConnectionParameters('127.0.0.1', broker.port))
    channel = connection.channel()
    channel.confirm_delivery()  # each basic_publish now waits for its ack and raises on a nack
    channel.exchange_declare('sink')
    queue = channel.queue_declare('').method.queue
    channel.queue_bind(queue, 'sink', 'k')
    check(queue.startswith('amq.gen-'), f'a server-named queue: {queue!r}')
    # Empty, small, exactly one full body frame, one byte more, and a body of three frames.
    edge_sizes = [0, 1, BODY_MAX, BODY_MAX + 1, 300 * 1024]
    sizes = [edge_sizes[i // 10 % 5] if i % 10 == 0 else i % 1000 for i in range(2000)]
    for size in sizes[:1000]:
        channel.basic_publish('sink', 'k', b'p' * size)
    raw_sizes = confirms_with_delivery_tags(broker.port)
    closes_on_malformed_input(broker.port)
    for size in sizes[1000:]:
        channel.basic_publish('sink', 'k', b'p' * size)
    check(connection.is_open, 'pika published 2,000 messages, each confirmed, around the bad clients')
    connection.close()
    out, err = broker.stop()
    expected = f'messages {len(sizes) + len(raw_sizes)} bytes {sum(sizes) + sum(raw_sizes)}'
    check(out.strip() == expected, f'totals "{out.strip()}", wanted "{expected}"')
    check(err.count('closing with') == len(MALFORMED) and 'protocol header' in err,
          f'a stderr line for each of the {len(MALFORMED) + 1} bad clients: {err.count(chr(10))} lines')


def blocks_after_n_messages():
    broker = Broker('--port', '0', '--block-after', '3', '--block-seconds', '1')
    for capabilities, notified in [({'connection.blocked': True}, True), ({}, False)]:
        client = RawClient(broker.port)
        client.login(capabilities)
        client.open_channel(1, confirm=True)
        client.send(publish_frames(1, b'abc') * 3)
        client.expect_acks(1, [1, 2, 3])
        if notified:
            blocked = client.expect(0, spec.Connection.Blocked)
            check(blocked.reason == 'test', f'connection.blocked with reason {blocked.reason!r}')
        began = time.monotonic()
        client.send(publish_frames(1, b'abc'))
        if notified:
            client.expect(0, spec.Connection.Unblocked)
        client.expect_acks(1, [4])
        waited = time.monotonic() - began
        check(0.8 < waited < 3, f'capabilities {capabilities}: 4th publish acked after {waited:.2f} s'
              f' of blocking, {"with" if notified else "without"} notices')
    out, _ = broker.stop()
    check(out.strip() == 'messages 8 bytes 24', f'totals with blocking "{out.strip()}"')


def give_up(*_):
    sys.exit('FAIL: no reply within 100 s (a lost ack or close?)')


def main():
    signal.signal(signal.SIGALRM, give_up)  # a lost ack would leave pika waiting for ever
    signal.alarm(100)
    try:
        refuses_bad_command_lines()
        serves_pika_and_survives_bad_clients()
        blocks_after_n_messages()
    finally:
        for process in brokers:
            if process.poll() is None:
                process.kill()
    if failures:
        sys.exit(f'{len(failures)} check(s) failed')


if __name__ == '__main__':
    main()
