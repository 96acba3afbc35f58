#!/usr/bin/env python3
"""A TCP proxy that puts a round trip of latency between its clients and one server.

Every byte is held for half the round trip on its way in each direction, as a link with that
delay would hold its packets. A connection has at most WINDOW bytes in flight per direction
(bytes sent but whose acknowledgement has not come back half a round trip after delivery),
as TCP's window allows on such a link; the default is the kernel's largest receive buffer
(net.ipv4.tcp_rmem), what Linux's autotuning can grow to.

  latency_proxy.py --to HOST:PORT --rtt-ms 50 [--port 0] [--window BYTES]
                   [--drop-after BYTES]

Prints the port it listens on, then serves until killed. --drop-after closes each of the
first --drops connections (default 1) once that many bytes went from the client to the
server: a link that fails in the middle of a request body.
"""
import argparse
import asyncio
import sys


def default_window():
    try:
        with open("/proc/sys/net/ipv4/tcp_rmem") as f:
            return int(f.read().split()[2])
    except (OSError, ValueError, IndexError):
        return 6 << 20


class Pipe:
    """One direction of one connection: a delay line with a window."""

    def __init__(self, reader, writer, delay, window, drop_after=None):
        self.reader, self.writer = reader, writer
        self.delay, self.window = delay, window
        self.queue = asyncio.Queue()
        self.in_flight = 0
        self.room = asyncio.Event()
        self.room.set()
        self.drop_after = drop_after
        self.moved = 0

    def _ack(self, n):
        self.in_flight -= n
        if self.in_flight < self.window:
            self.room.set()

    async def pump_in(self):
        loop = asyncio.get_running_loop()
        try:
            while True:
                await self.room.wait()
                data = await self.reader.read(min(256 << 10, self.window))
                if not data:
                    break
                self.moved += len(data)
                if self.drop_after is not None and self.moved >= self.drop_after:
                    self.queue.put_nowait(None)
                    return "drop"
                self.in_flight += len(data)
                if self.in_flight >= self.window:
                    self.room.clear()
                self.queue.put_nowait((loop.time() + self.delay, data))
        except (ConnectionError, OSError):
            pass
        self.queue.put_nowait(None)
        return "end"

    async def pump_out(self):
        loop = asyncio.get_running_loop()
        try:
            while True:
                item = await self.queue.get()
                if item is None:
                    break
                due, data = item
                wait = due - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                self.writer.write(data)
                await self.writer.drain()
                loop.call_later(self.delay, self._ack, len(data))
            if self.writer.can_write_eof():
                self.writer.write_eof()
        except (ConnectionError, OSError):
            pass


async def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--to", required=True)
    ap.add_argument("--rtt-ms", type=float, default=50.0)
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--window", type=int, default=default_window())
    ap.add_argument("--drop-after", type=int)
    ap.add_argument("--drops", type=int, default=1)
    args = ap.parse_args()
    host, port = args.to.rsplit(":", 1)
    delay = args.rtt_ms / 2000.0
    drops = [args.drops]

    async def serve(cr, cw):
        try:
            sr, sw = await asyncio.open_connection(host, int(port))
        except OSError:
            cw.close()
            return
        drop = args.drop_after if args.drop_after is not None and drops[0] > 0 else None
        up = Pipe(cr, sw, delay, args.window, drop)
        down = Pipe(sr, cw, delay, args.window)
        tasks = [asyncio.ensure_future(t) for t in (up.pump_in(), up.pump_out(), down.pump_in(), down.pump_out())]
        done = await tasks[0]
        if done == "drop":
            drops[0] -= 1
            for t in tasks[1:]:
                t.cancel()
            for w in (cw, sw):
                w.transport.abort()
            return
        await asyncio.gather(*tasks[1:], return_exceptions=True)
        for w in (cw, sw):
            w.close()

    server = await asyncio.start_server(serve, "127.0.0.1", args.port, limit=1 << 20)
    print(server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
