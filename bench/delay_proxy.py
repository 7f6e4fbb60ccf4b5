"""A TCP forwarder on 127.0.0.1 that holds every chunk for a fixed time in each direction, so two
peers on this machine talk as if over a distant link: the round trip grows by twice the delay,
and the bandwidth is not limited, since it reads eagerly in large chunks and writes each one, in
order, as soon as its time has come.

Usage: delay_proxy.py PORT_FILE TARGET_PORT [--delay-ms MS] [--port N]
It listens on 127.0.0.1 (port N, or one the system picks) and writes that port to PORT_FILE;
every connection is forwarded to 127.0.0.1:TARGET_PORT. On SIGTERM it prints how many bytes it
forwarded each way and exits 0.

Standard library only: asyncio protocols, 256 KiB reads, one timer per direction. swarm_bench.py
measures it before its transfers: on the 2-core development machine it carried 500 to 1400 MB/s
of bulk data one way through the default 25 ms delay, and a one-byte ping came back in 50.8 to
51.0 ms, so it is far above the 40 to 120 MB/s of the downloads it carries there.
"""
import argparse
import asyncio
import collections
import os
import signal

# What one direction may hold before it stops reading from its source; far above what a
# 1 GB/s link keeps in flight in 25 ms.
HOLD = 64 << 20
# Chunks whose time is this close are written together rather than on a timer of their own.
SLACK = 0.0005

forwarded = {"to target": 0, "back": 0}


class Direction:
    """The chunks read from one side, waiting to be written to the other."""

    def __init__(self, loop, delay, label):
        self.loop, self.delay, self.label = loop, delay, label
        self.chunks = collections.deque()  # (when due, bytes, or None for the end of the stream)
        self.held = 0
        self.source = None  # transport read from
        self.sink = None  # transport written to, None until it is connected
        self.sink_full = False
        self.reading = True
        self.timer = None
        self.pair = None

    def push(self, data):
        if self.pair.closed:
            return
        self.chunks.append((self.loop.time() + self.delay, data))
        if data:
            self.held += len(data)
        self.throttle()
        self.arm()

    def arm(self):
        if self.timer is None and self.sink is not None and self.chunks:
            self.timer = self.loop.call_at(self.chunks[0][0], self.flush)

    def flush(self):
        self.timer = None
        now = self.loop.time() + SLACK
        while self.chunks and self.chunks[0][0] <= now:
            _, data = self.chunks.popleft()
            if data is None:
                self.pair.close()
                return
            if not self.sink.is_closing():
                self.sink.write(data)
                forwarded[self.label] += len(data)
            self.held -= len(data)
        self.throttle()
        self.arm()

    def throttle(self):
        """Reads from the source only while the sink keeps up and little is held."""
        want = not self.sink_full and self.held < HOLD
        if want != self.reading and self.source is not None and not self.source.is_closing():
            if want:
                self.source.resume_reading()
            else:
                self.source.pause_reading()
            self.reading = want

    def drop(self):
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        self.chunks.clear()


class Side(asyncio.Protocol):
    """One of the two connections of a pair: what it reads goes into `outgoing`, and `incoming`
    writes to it."""

    def __init__(self, pair, outgoing, incoming):
        self.pair, self.outgoing, self.incoming = pair, outgoing, incoming

    def connection_made(self, transport):
        transport.set_write_buffer_limits(high=4 << 20)
        self.outgoing.source = transport
        self.incoming.sink = transport
        self.pair.transports.append(transport)
        self.incoming.arm()

    def data_received(self, data):
        self.outgoing.push(data)

    def eof_received(self):
        self.outgoing.push(None)
        return True  # stays open until the end reaches the other side

    def connection_lost(self, exc):
        self.outgoing.push(None)

    def pause_writing(self):
        self.incoming.sink_full = True
        self.incoming.throttle()

    def resume_writing(self):
        self.incoming.sink_full = False
        self.incoming.throttle()


class Pair:
    """A client connection and the one opened for it to the target. The end of either stream,
    once delayed like its data, closes both."""

    def __init__(self, loop, delay):
        self.up = Direction(loop, delay, "to target")
        self.down = Direction(loop, delay, "back")
        self.up.pair = self.down.pair = self
        self.transports = []
        self.closed = False

    def close(self):
        if not self.closed:
            self.closed = True
            self.up.drop()
            self.down.drop()
            for transport in self.transports:
                transport.close()  # what was written is still sent


async def serve(args):
    loop = asyncio.get_running_loop()
    delay = args.delay_ms / 1000

    def accepted():
        pair = Pair(loop, delay)
        client = Side(pair, pair.up, pair.down)

        async def connect():
            try:
                await loop.create_connection(lambda: Side(pair, pair.down, pair.up),
                                             "127.0.0.1", args.target_port)
            except OSError:
                pair.close()

        loop.create_task(connect())
        return client

    server = await loop.create_server(accepted, "127.0.0.1", args.port)
    with open(args.port_file + ".tmp", "w") as f:
        f.write(str(server.sockets[0].getsockname()[1]))
    os.rename(args.port_file + ".tmp", args.port_file)
    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)
    await stop.wait()
    server.close()
    print(f"forwarded {forwarded['to target']} bytes to the target, {forwarded['back']} bytes back",
          flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("port_file")
    parser.add_argument("target_port", type=int)
    parser.add_argument("--delay-ms", type=float, default=25)
    parser.add_argument("--port", type=int, default=0)
    asyncio.run(serve(parser.parse_args()))


if __name__ == "__main__":
    main()
