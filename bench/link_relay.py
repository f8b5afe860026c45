#!/usr/bin/env python3
"""A TCP relay on loopback that stands in for a slow link, where the
kernel's own delay emulation (netem) is not available.

Every chunk read from one side is written to the other side a fixed time
after it was read, in each direction, so a one-way delay of 10 ms gives a
round trip of 20 ms. With a rate, chunks also leave one after another no
faster than that many bytes a second, as over a link of that capacity. A new
connection is put through to the target after one round trip, as a TCP
handshake over the link would take.

Bounded: at most MAX_CONNECTIONS at once (more are closed at once), at most
MAX_HELD_BYTES held per direction (reading that side pauses beyond it), and
stop() closes every connection and ends the relay's thread.

    relay = LinkRelay(target_port, one_way_delay_s=0.010)
    relay.start()            # relay.port is the loopback port to connect to
    ...
    relay.stop()

Run alone it relays until Ctrl-C or SIGTERM, or for --seconds:

    python3 bench/link_relay.py --target-port 110 --delay-ms 10 [--port N]
                                [--rate-mbit R] [--seconds S]
"""
import argparse
import asyncio
import collections
import signal
import sys
import threading

HOST = "127.0.0.1"
MAX_CONNECTIONS = 64
MAX_HELD_BYTES = 8 << 20     # per direction; a link with a large window holds no more
RESUME_HELD_BYTES = 4 << 20  # reading resumes below this
START_TIMEOUT_S = 10
STOP_TIMEOUT_S = 10
_CLOSE = object()            # queued after the last chunk of a side that closed


class _Direction:
    """One direction of one connection: chunks wait in order until their
    time, then go to the destination transport."""

    def __init__(self, loop, delay, rate, on_closed):
        self.loop = loop
        self.delay = delay
        self.rate = rate
        self.on_closed = on_closed   # called when the close has been passed on
        self.source = None           # transport read from
        self.destination = None      # transport written to
        self.queue = collections.deque()  # (due time, bytes or _CLOSE)
        self.timer = None
        self.link_free_at = 0.0      # when the rate-capped link is next idle
        self.held = 0
        self.paused = set()          # reasons the source's reading is paused
        self.cancelled = False

    def put(self, item):
        if self.cancelled:
            return
        due = self.loop.time() + self.delay
        if self.rate and item is not _CLOSE:
            # The chunk is put on the wire once the link is free, and arrives
            # one delay after its last byte was sent.
            start = max(self.loop.time(), self.link_free_at)
            self.link_free_at = start + len(item) / self.rate
            due = self.link_free_at + self.delay
        due = max(due, self.queue[-1][0] if self.queue else 0.0)
        self.queue.append((due, item))
        if item is not _CLOSE:
            self.held += len(item)
            if self.held > MAX_HELD_BYTES:
                self.pause("held")
        if self.timer is None:
            self.timer = self.loop.call_at(due, self._deliver)

    def _deliver(self):
        self.timer = None
        now = self.loop.time()
        while self.queue and self.queue[0][0] <= now:
            _, item = self.queue.popleft()
            if item is _CLOSE:
                self.queue.clear()
                if self.destination is not None:
                    self.destination.close()
                self.on_closed()
                return
            self.held -= len(item)
            if self.destination is not None and not self.destination.is_closing():
                self.destination.write(item)
        if self.held < RESUME_HELD_BYTES:
            self.resume("held")
        if self.queue:
            self.timer = self.loop.call_at(self.queue[0][0], self._deliver)

    def pause(self, reason):
        if not self.paused and self.source is not None:
            self.source.pause_reading()
        self.paused.add(reason)

    def resume(self, reason):
        if reason not in self.paused:
            return
        self.paused.discard(reason)
        if not self.paused and self.source is not None and not self.source.is_closing():
            self.source.resume_reading()

    def cancel(self):
        self.cancelled = True
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        self.queue.clear()


class _Side(asyncio.Protocol):
    """One of the two connections of a relayed pair."""

    def __init__(self, outgoing, incoming):
        self.outgoing = outgoing   # direction this side's data goes
        self.incoming = incoming   # direction that writes to this side

    def connection_made(self, transport):
        self.transport = transport
        self.outgoing.source = transport
        self.incoming.destination = transport

    def data_received(self, data):
        self.outgoing.put(bytes(data))

    def eof_received(self):
        self.outgoing.put(_CLOSE)
        return True  # the transport stays open for the other direction

    def connection_lost(self, exc):
        self.outgoing.put(_CLOSE)

    # A destination that cannot take more stops the other side's reading.
    def pause_writing(self):
        self.incoming.pause("destination")

    def resume_writing(self):
        self.incoming.resume("destination")


class _Pair:
    """A client connection and its connection to the target."""

    def __init__(self, relay, loop):
        self.relay = relay
        delay, rate = relay.one_way_delay_s, relay.rate_bytes_per_s
        self.up = _Direction(loop, delay, rate, self._half_closed)
        self.down = _Direction(loop, delay, rate, self._half_closed)
        self.transports = []

    def _half_closed(self):
        # One side's close, passed on, ends the pair: POP3 and NNTP do not
        # half-close.
        self.close()

    def close(self):
        self.up.cancel()
        self.down.cancel()
        for transport in self.transports:
            transport.close()
        self.relay.pairs.discard(self)


class _ClientSide(_Side):
    def __init__(self, relay):
        self.relay = relay
        self.pair = _Pair(relay, relay.loop)
        super().__init__(self.pair.up, self.pair.down)

    def connection_made(self, transport):
        super().connection_made(transport)
        self.pair.transports.append(transport)
        if len(self.relay.pairs) >= MAX_CONNECTIONS or self.relay.stopping:
            transport.close()
            return
        self.relay.pairs.add(self.pair)
        # Nothing is read until the target side is up; the handshake over
        # the link costs a round trip.
        self.outgoing.pause("connecting")
        self.relay.loop.call_later(2 * self.relay.one_way_delay_s,
                                   lambda: self.relay.loop.create_task(self._connect()))

    async def _connect(self):
        if self.transport.is_closing():
            self.pair.close()
            return
        try:
            target, _ = await self.relay.loop.create_connection(
                lambda: _Side(self.pair.down, self.pair.up), HOST, self.relay.target_port)
        except OSError:
            self.pair.close()
            return
        self.pair.transports.append(target)
        if self.transport.is_closing():
            self.pair.close()
            return
        self.outgoing.resume("connecting")


class LinkRelay:
    """The relay, on its own thread with its own event loop. one_way_delay_s
    and rate_bytes_per_s (None: no cap) may be changed between connections;
    a connection keeps those it began with."""

    def __init__(self, target_port, one_way_delay_s, rate_bytes_per_s=None, port=0):
        self.target_port = target_port
        self.one_way_delay_s = one_way_delay_s
        self.rate_bytes_per_s = rate_bytes_per_s
        self.port = port
        self.loop = None
        self.thread = None
        self.server = None
        self.pairs = set()
        self.stopping = False

    def start(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, name="link-relay",
                                       daemon=True)
        self.thread.start()
        future = asyncio.run_coroutine_threadsafe(self._listen(), self.loop)
        try:
            future.result(START_TIMEOUT_S)
        except Exception:
            self.stop()
            raise
        return self

    async def _listen(self):
        self.server = await self.loop.create_server(lambda: _ClientSide(self), HOST, self.port)
        self.port = self.server.sockets[0].getsockname()[1]

    async def _shutdown(self):
        self.stopping = True
        if self.server is not None:
            self.server.close()
        for pair in list(self.pairs):
            pair.close()

    def stop(self):
        """Closes every connection and ends the thread; safe to call twice."""
        if self.loop is None:
            return
        if self.thread.is_alive():
            try:
                asyncio.run_coroutine_threadsafe(self._shutdown(), self.loop).result(
                    STOP_TIMEOUT_S)
            except Exception:
                pass  # the loop is stopped below all the same
            self.loop.call_soon_threadsafe(self.loop.stop)
            self.thread.join(STOP_TIMEOUT_S)
        if not self.thread.is_alive():
            self.loop.close()
        self.loop = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--target-port", type=int, required=True,
                        help="loopback port of the server behind the link")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (default: any)")
    parser.add_argument("--delay-ms", type=float, required=True, help="one-way delay")
    parser.add_argument("--rate-mbit", type=float, help="cap each direction at this rate")
    parser.add_argument("--seconds", type=float, help="stop after this long")
    args = parser.parse_args(argv)
    rate = args.rate_mbit * 1e6 / 8 if args.rate_mbit else None
    done = threading.Event()
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, lambda *_: done.set())
    with LinkRelay(args.target_port, args.delay_ms / 1000, rate, args.port) as relay:
        print("relaying 127.0.0.1:%d -> 127.0.0.1:%d, %.1f ms each way%s" % (
            relay.port, args.target_port, args.delay_ms,
            ", %.1f Mbit/s" % args.rate_mbit if rate else ""), flush=True)
        done.wait(args.seconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
