#!/usr/bin/env python3
"""A loopback TCP forwarder that behaves like a real network link in front of
a server: a one-way delay in each direction, one bandwidth shared by every
connection in each direction (a household line), and optionally a host that
trickles each response.

    link_proxy.py --listen 0 --target 127.0.0.1:8080 --delay-ms 50 --rate-mbit 100

Prints "listening on 127.0.0.1:PORT" once it accepts. SIGTERM or SIGINT ends
it; --stats FILE then gets one JSON record per connection (start, end, bytes
each way) so a test can count connections and measure the rate it got.

The model, per direction: bytes enter the bottleneck as they arrive, leave it
at the link's rate in arrival order across all connections, and arrive at the
far end one delay later. Departure times are computed from the rate rather
than sampled from timers (the GCRA form of a token bucket), so a late wake-up
on a busy machine delays bytes a little but never loses bandwidth. A new
connection pays the TCP handshake: the client's first bytes leave no earlier
than one round trip after accept, so connect + request + response costs two
round trips, as on a real line.
"""

import argparse
import asyncio
import collections
import json
import signal
import sys
import time

MSS = 1460
# Early-fire slack: asyncio may wake a little before a deadline, and a timer
# re-armed for a few microseconds only burns the loop.
SLACK = 0.0005


class Link:
    """One direction of the shared bottleneck."""

    def __init__(self, rate, burst):
        self.rate = float(rate)  # bytes/s; 0 is unlimited
        self.burst = burst
        self.free_at = 0.0
        # Bytes leave in segments so a large read spreads over time the way it
        # would on the wire; bigger at high rates to keep the timer count low.
        self.segment = 1 << 30 if not rate else int(min(16384, max(MSS, rate * 0.005)))
        # What one connection may have queued at the bottleneck: all hold the
        # same, so they share the link evenly, and a late timer has some ms
        # before the link would idle.
        self.share = 1 << 30 if not rate else int(max(64 << 10, rate * 0.01))

    def send(self, now, n):
        """When n bytes offered now have left the bottleneck."""
        if not self.rate:
            return now
        # Idle time earns up to `burst` bytes of credit, no more.
        start = max(self.free_at, now - self.burst / self.rate)
        self.free_at = start + n / self.rate
        return max(self.free_at, now)


class Pipe:
    """One direction of one connection: source -> waiting -> link -> delay -> destination."""

    def __init__(self, conn, link, delay, trickle=0):
        self.conn = conn
        self.loop = conn.loop
        self.link = link
        self.delay = delay
        self.src = None
        self.dest = None
        self.hold_until = 0.0  # nothing leaves the link for the far end before this
        self.waiting = collections.deque()  # memoryviews read, not yet on the link
        self.waiting_bytes = 0
        self.on_link = collections.deque()  # (leaves_at, n) not yet past the bottleneck
        self.on_link_bytes = 0
        self.queue = collections.deque()  # (arrives_at, data) past the bottleneck, in order
        self.deliver_timer = None
        self.pump_timer = None
        self.dest_paused = False
        self.eof = False
        self.finished = False
        self.bytes = 0
        # A trickling host: each connection's bytes enter the link at `trickle` bytes/s.
        self.trickle = trickle
        self.trickle_next = 0.0
        self.piece = max(1, min(MSS, trickle // 20)) if trickle else 0

    def feed(self, data):
        if self.finished:
            return
        self.waiting.append(memoryview(data))
        self.waiting_bytes += len(data)
        self._pump()

    def source_eof(self):
        if not self.eof:
            self.eof = True
            self._pump()

    def _take(self, n):
        head = self.waiting[0]
        if len(head) <= n:
            self.waiting.popleft()
        else:
            self.waiting[0] = head[n:]
            head = head[:n]
        self.waiting_bytes -= len(head)
        return head

    def _enter_link(self, part, now):
        leaves = self.link.send(now, len(part))
        if self.link.rate:
            self.on_link.append((leaves, len(part)))
            self.on_link_bytes += len(part)
        self.queue.append((max(leaves, self.hold_until) + self.delay, part))

    def _pump(self):
        """Moves waiting bytes onto the link as far as this connection's share
        (or the trickle) allows, and arms the next move."""
        self.pump_timer = None
        if self.finished:
            return
        now = self.loop.time()
        while self.on_link and self.on_link[0][0] <= now + SLACK:
            self.on_link_bytes -= self.on_link.popleft()[1]
        if self.trickle:
            self.trickle_next = max(self.trickle_next, now)
            while self.waiting and self.trickle_next <= now + SLACK:
                part = self._take(self.piece)
                self.trickle_next += len(part) / self.trickle
                self._enter_link(part, now)
            wake = self.trickle_next
        else:
            share = self.link.share
            while self.waiting and self.on_link_bytes < share:
                self._enter_link(self._take(self.link.segment), now)
            # Top up as each segment leaves: a connection that refilled only
            # at half its share would hold less of the queue, and so get less
            # of the link, than one whose sender happened to write just then.
            wake = self.on_link[0][0] if self.on_link else None
        if self.waiting and wake is not None:
            self.pump_timer = self.loop.call_at(wake, self._pump)
        self._update_reading()
        if self.deliver_timer is None:
            self._deliver()

    def set_dest_paused(self, paused):
        self.dest_paused = paused
        self._update_reading()

    def _update_reading(self):
        """The sender waits (its socket fills) while this connection has its
        share waiting here, or the far end does not take what it is sent."""
        if self.src is None or self.src.is_closing():
            return
        want = not self.dest_paused and self.waiting_bytes < self.link.share
        if want != self.src.is_reading():
            (self.src.resume_reading if want else self.src.pause_reading)()

    def _deliver(self):
        self.deliver_timer = None
        if self.finished or self.dest is None:
            return
        now = self.loop.time()
        while self.queue and self.queue[0][0] <= now + SLACK:
            if self.dest.is_closing():
                # Reset by the far end: its connection_lost is on its way.
                self.drop()
                return
            part = self.queue.popleft()[1]
            self.bytes += len(part)
            self.dest.write(part)
        if self.queue:
            # Later parts arrive later, so one timer for the head is enough.
            self.deliver_timer = self.loop.call_at(self.queue[0][0], self._deliver)
        elif self.eof and not self.waiting:
            self.finished = True
            if self.dest.can_write_eof():
                self.dest.write_eof()
            self.conn.maybe_close()

    def drop(self):
        """The destination is gone: nothing more can be delivered."""
        self.finished = True
        self.queue.clear()
        self.waiting.clear()
        for t in (self.deliver_timer, self.pump_timer):
            if t is not None:
                t.cancel()


class Side(asyncio.Protocol):
    """One socket of a connection; `pipe_out` carries what it reads."""

    def __init__(self, conn, pipe_out, pipe_in):
        self.conn = conn
        self.pipe_out = pipe_out
        self.pipe_in = pipe_in

    def connection_made(self, transport):
        self.conn.transports.append(transport)
        self.pipe_out.src = transport
        self.pipe_in.dest = transport
        self.pipe_out._update_reading()
        self.pipe_in._pump()

    def data_received(self, data):
        self.pipe_out.feed(data)

    def eof_received(self):
        self.pipe_out.source_eof()
        return True  # half-close: keep sending the other way

    def pause_writing(self):
        self.pipe_in.set_dest_paused(True)

    def resume_writing(self):
        self.pipe_in.set_dest_paused(False)

    def connection_lost(self, exc):
        self.pipe_in.drop()
        self.pipe_out.source_eof()
        self.conn.lost()


class Connection:
    def __init__(self, proxy):
        self.proxy = proxy
        self.loop = proxy.loop
        self.id = len(proxy.records)
        self.record = {"id": self.id, "start": proxy.clock(), "end": None, "bytes_up": 0, "bytes_down": 0}
        proxy.records.append(self.record)
        self.up = Pipe(self, proxy.up_link, proxy.delay)
        self.down = Pipe(self, proxy.down_link, proxy.delay, proxy.trickle)
        self.client = Side(self, self.up, self.down)
        self.server = Side(self, self.down, self.up)
        self.transports = []
        self.closed = False
        # The client's SYN reaches the server one delay after its connect, and
        # its first bytes leave one round trip after it.
        self.up.hold_until = self.loop.time() + 2 * proxy.delay
        self.loop.call_later(proxy.delay, lambda: proxy.spawn(self.connect_server()))

    async def connect_server(self):
        if self.closed:
            return
        try:
            transport, _ = await self.loop.create_connection(lambda: self.server, *self.proxy.target)
        except OSError as e:
            self.record["error"] = str(e)
            self.close(abort=True)
            return
        if self.closed:
            transport.abort()

    def maybe_close(self):
        if self.up.finished and self.down.finished:
            self.close()

    def lost(self):
        if (self.up.finished and self.down.finished) or self.closed:
            self.close()

    def close(self, abort=False):
        if not self.closed:
            self.closed = True
            self.record["end"] = self.proxy.clock()
        self.record["bytes_up"] = self.up.bytes
        self.record["bytes_down"] = self.down.bytes
        for pipe in (self.up, self.down):
            pipe.drop()
        for t in self.transports:
            if not t.is_closing():
                t.abort() if abort else t.close()
        self.proxy.conns.discard(self)


class Proxy:
    def __init__(self, args, loop):
        self.loop = loop
        self.delay = args.delay_ms / 1000.0
        rate = args.rate_mbit * 125000.0 if args.rate_mbit else args.rate_kbit * 125.0
        self.up_link = Link(rate, args.burst)
        self.down_link = Link(rate, args.burst)
        self.trickle = args.trickle
        host, _, port = args.target.rpartition(":")
        self.target = (host or "127.0.0.1", int(port))
        self.records = []
        self.conns = set()
        self.tasks = set()
        self.t0 = loop.time()
        self.wall0 = time.time()

    def clock(self):
        return round(self.loop.time() - self.t0, 6)

    def spawn(self, coro):
        task = self.loop.create_task(coro)
        self.tasks.add(task)
        task.add_done_callback(self.tasks.discard)

    def accept(self):
        conn = Connection(self)
        self.conns.add(conn)
        return conn.client

    def stats(self):
        for conn in list(self.conns):
            conn.record["bytes_up"] = conn.up.bytes
            conn.record["bytes_down"] = conn.down.bytes
        return {"started": self.wall0, "ended": time.time(), "duration": self.clock(),
                "connections": self.records}


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--listen", type=int, default=0, help="port on 127.0.0.1 (0: any free one)")
    p.add_argument("--target", required=True, help="host:port of the server")
    p.add_argument("--delay-ms", type=float, default=0.0, help="one-way delay each direction")
    rate = p.add_mutually_exclusive_group()
    rate.add_argument("--rate-kbit", type=float, default=0.0, help="bandwidth each direction, kbit/s")
    rate.add_argument("--rate-mbit", type=float, default=0.0, help="bandwidth each direction, Mbit/s")
    p.add_argument("--burst", type=int, default=16384, help="bytes the link may send at once after idling")
    p.add_argument("--trickle", type=int, default=0, help="pace each connection's downstream to N bytes/s")
    p.add_argument("--stats", help="write per-connection JSON here on exit")
    return p.parse_args(argv)


async def serve(args):
    loop = asyncio.get_running_loop()
    proxy = Proxy(args, loop)
    server = await loop.create_server(proxy.accept, "127.0.0.1", args.listen, backlog=1024)
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    print("listening on 127.0.0.1:%d" % server.sockets[0].getsockname()[1], flush=True)
    await stop.wait()
    server.close()
    for conn in list(proxy.conns):
        conn.close(abort=True)
    if args.stats:
        with open(args.stats, "w") as f:
            json.dump(proxy.stats(), f, indent=1)
            f.write("\n")


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    asyncio.run(serve(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
