"""A slow link on loopback: a TCP relay between the programs and a local
server that delays every byte by a round trip and shares one link rate
among all connections, as a hotel or mobile network does. This kernel has
no netem, so the delay is made here, in user space.

    with SlowLink(listen_port, upstream_port, rtt_ms=100, mbit=50) as link:
        ...                       # clients connect to listen_port
        link.connections          # how many connections were made

Each direction is one shared link: a chunk is sent when the link is free,
takes its size at the link rate, and arrives half a round trip later. A new
connection pays one more round trip for its handshake before its first
byte moves, as TCP's does.
"""
import asyncio
import socket
import threading
import time

CHUNK = 16384


class _Link:
    """One direction of the shared link: when the next byte may start."""

    def __init__(self, bytes_per_second):
        self.rate = bytes_per_second
        self.free_at = 0.0

    def send(self, size, now):
        start = max(now, self.free_at)
        self.free_at = start + size / self.rate
        return self.free_at


class SlowLink:
    def __init__(self, listen_port, upstream_port, rtt_ms=100.0, mbit=50.0):
        self.listen_port = listen_port
        self.upstream_port = upstream_port
        self.half_trip = rtt_ms / 2000.0
        self.rate = mbit * 1e6 / 8.0
        # Twice the bandwidth-delay product, as a tuned TCP window allows.
        self.window = max(262144, int(2 * self.rate * rtt_ms / 1000.0))
        self.connections = 0
        self.bytes_down = 0
        self._loop = None
        self._thread = None
        self._server = None
        self._ready = threading.Event()

    async def _carry(self, reader, writer, link, down):
        queue = asyncio.Queue()
        # Bytes read from one side and not yet given to the other: TCP keeps
        # no more than its window in flight, so a peer that stops reading
        # (or closes) holds the shared link for at most that much.
        state = {"inflight": 0, "closed": False}
        room = asyncio.Condition()

        async def deliver():
            while True:
                item = await queue.get()
                if item is None:
                    break
                at, chunk = item
                delay = at - time.monotonic()
                if delay > 0:
                    await asyncio.sleep(delay)
                if not state["closed"]:
                    try:
                        writer.write(chunk)
                        await writer.drain()
                        if down:
                            self.bytes_down += len(chunk)
                    except (ConnectionError, OSError, RuntimeError):
                        state["closed"] = True
                async with room:
                    state["inflight"] -= len(chunk)
                    room.notify_all()
            try:
                writer.write_eof()
            except (OSError, RuntimeError):
                pass

        task = asyncio.ensure_future(deliver())
        try:
            while not state["closed"]:
                chunk = await reader.read(CHUNK)
                if not chunk:
                    break
                async with room:
                    await room.wait_for(lambda: state["inflight"] < self.window or state["closed"])
                    state["inflight"] += len(chunk)
                if state["closed"]:
                    break
                arrives = link.send(len(chunk), time.monotonic()) + self.half_trip
                await queue.put((arrives, chunk))
        except (ConnectionError, OSError):
            pass
        await queue.put(None)
        try:
            await task
        except (ConnectionError, OSError):
            pass
        return state["closed"]

    async def _serve(self, client_reader, client_writer):
        self.connections += 1
        # SYN, SYN-ACK: the client's first byte leaves a round trip later.
        await asyncio.sleep(2 * self.half_trip)
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", self.upstream_port)
        except OSError:
            client_writer.close()
            return
        up = asyncio.ensure_future(self._carry(client_reader, server_writer, self._up, False))
        await self._carry(server_reader, client_writer, self._down, True)
        # The client gone, the server's side goes too, as a reset would.
        server_writer.close()
        await up
        try:
            client_writer.close()
        except OSError:
            pass

    def _run(self):
        self._loop = asyncio.new_event_loop()
        asyncio.set_event_loop(self._loop)
        self._up = _Link(self.rate)
        self._down = _Link(self.rate)
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", self.listen_port))
        self._server = self._loop.run_until_complete(asyncio.start_server(self._serve, sock=listener))
        self._ready.set()
        self._loop.run_forever()
        self._server.close()
        self._loop.run_until_complete(self._server.wait_closed())
        self._loop.close()

    def __enter__(self):
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        if not self._ready.wait(10):
            raise RuntimeError("the slow link did not start")
        return self

    def __exit__(self, *exc):
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(10)

    def reset_counts(self):
        self.connections = 0
        self.bytes_down = 0
