"""A loopback TCP proxy for tests that break a connection on purpose.

    proxy = Proxy(server.port)          # listens on a free port of 127.0.0.1
    conn = connect(port=proxy.port)     # talks to the server through it
    proxy.cut()                         # every connection through it dropped now
    proxy.cut_after(4096, "server")     # ... once 4096 more bytes came from the server
    proxy.stall()                       # nothing forwarded any more, nothing closed
    proxy.stall_after(65536, "client")  # ... once 64 KiB more went to the server
    proxy.resume()                      # forwarding again
    proxy.close()

One thread moves the bytes of every connection with non-blocking sockets,
so a side that does not read never blocks the other connections or the
commands.  Each direction keeps at most BUFFER_LIMIT bytes waiting; past
that the proxy stops reading from the sending side, and TCP's own flow
control reaches back to the sender, as it would without the proxy.

A side that closes ends the whole connection: what the proxy already read
from it is still delivered to the other side first (a server that stops
after sending its last message is seen to do exactly that), then both
sockets are closed.  ``cut()`` delivers nothing more: both sockets are
closed at once with a reset, as when a link between the two fails.

New connections are accepted after a cut or a stall (a stalled proxy
accepts and then forwards nothing), so a client can reconnect through the
same port.  Only 127.0.0.1 is ever used.
"""
import errno
import selectors
import socket
import struct
import threading

HOST = "127.0.0.1"
BUFFER_LIMIT = 1 << 18
_READ_SIZE = 1 << 16

# The two directions, named for the side that sends.
CLIENT = "client"   # client -> server
SERVER = "server"   # server -> client


class _Pair(object):
    """One proxied connection: the client's socket and ours to the server."""

    def __init__(self, client, server):
        self.sock = {CLIENT: client, SERVER: server}
        self.pending = {CLIENT: bytearray(), SERVER: bytearray()}  # read from key, not yet sent
        self.eof = {CLIENT: False, SERVER: False}
        self.closed = False

    @staticmethod
    def other(side):
        return SERVER if side == CLIENT else CLIENT


class Proxy(object):
    def __init__(self, target_port, target_host=HOST):
        self.target = (target_host, target_port)
        self._lock = threading.Lock()
        self._pairs = []
        self._stalled = False
        # Armed triggers: {direction: [bytes left, action]}
        self._triggers = {}
        self.forwarded = {CLIENT: 0, SERVER: 0}
        self.accepted = 0
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind((HOST, 0))
        self._listener.listen(64)
        self._listener.setblocking(False)
        self._commands = []  # (function, event) run by the proxy thread
        self._wake_r, self._wake_w = socket.socketpair()
        self._wake_r.setblocking(False)
        self._selector = selectors.DefaultSelector()
        self._stop = False
        self._thread = threading.Thread(target=self._run, name="pgproxy", daemon=True)
        self._thread.start()

    # -- commands (any thread)

    @property
    def port(self):
        return self._listener.getsockname()[1]

    def connections(self):
        """How many proxied connections are open."""
        with self._lock:
            return sum(1 for p in self._pairs if not p.closed)

    def cut(self):
        """Drop every open connection now, with a reset to both sides."""
        self._command(lambda: self._cut_all())

    def cut_after(self, nbytes, direction=SERVER):
        """Forward `nbytes` more bytes in `direction`, then cut."""
        self._arm(direction, nbytes, "cut")

    def stall(self):
        """Forward nothing more (connections stay open) until resume()."""
        self._command(lambda: self._set_stalled(True))

    def stall_after(self, nbytes, direction=CLIENT):
        """Forward `nbytes` more bytes in `direction`, then stall."""
        self._arm(direction, nbytes, "stall")

    @property
    def stalled(self):
        return self._stalled

    def resume(self):
        self._command(lambda: self._set_stalled(False))

    def close(self):
        if self._stop:
            return
        self._stop = True
        self._wake()
        self._thread.join(10)
        self._cut_all()
        self._selector.close()
        self._listener.close()
        self._wake_r.close()
        self._wake_w.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # -- inside

    def _arm(self, direction, nbytes, action):
        if direction not in (CLIENT, SERVER):
            raise ValueError("direction must be %r or %r" % (CLIENT, SERVER))
        with self._lock:
            self._triggers[direction] = [int(nbytes), action]
        self._wake()

    def _command(self, fn):
        done = threading.Event()
        with self._lock:
            self._commands.append((fn, done))
        self._wake()
        if not done.wait(10):
            raise RuntimeError("the proxy thread did not answer")

    def _wake(self):
        try:
            self._wake_w.send(b"x")
        except OSError:
            pass

    def _set_stalled(self, value):
        self._stalled = value

    def _cut_all(self):
        with self._lock:
            pairs, self._pairs = self._pairs, []
        for p in pairs:
            self._close_pair(p, reset=True)

    def _close_pair(self, pair, reset=False):
        if pair.closed:
            return
        pair.closed = True
        for s in pair.sock.values():
            try:
                self._selector.unregister(s)
            except (KeyError, ValueError, OSError):
                pass
            if reset:
                # Linger 0: close() sends a reset, not a FIN.
                try:
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                except OSError:
                    pass
            s.close()

    def _accept(self):
        while True:
            try:
                client, _ = self._listener.accept()
            except OSError:  # none waiting (or the listener is closing)
                return
            try:
                server = socket.create_connection(self.target, timeout=5)
            except OSError:
                client.close()
                continue
            for s in (client, server):
                s.setblocking(False)
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            pair = _Pair(client, server)
            with self._lock:
                self._pairs.append(pair)
                self.accepted += 1

    def _run(self):
        self._selector.register(self._listener, selectors.EVENT_READ, None)
        self._selector.register(self._wake_r, selectors.EVENT_READ, None)
        while not self._stop:
            self._register_interest()
            for key, events in self._selector.select(timeout=0.2):
                obj = key.fileobj
                if obj is self._listener:
                    self._accept()
                elif obj is self._wake_r:
                    try:
                        self._wake_r.recv(4096)
                    except OSError:
                        pass
                else:
                    pair, side = key.data
                    if pair.closed:
                        continue
                    if events & selectors.EVENT_READ:
                        self._read(pair, side)
                    if not pair.closed and events & selectors.EVENT_WRITE:
                        self._write(pair, side)
            self._run_commands()
            self._reap()

    def _run_commands(self):
        with self._lock:
            commands, self._commands[:] = list(self._commands), []
        for fn, done in commands:
            try:
                fn()
            finally:
                done.set()

    def _register_interest(self):
        with self._lock:
            pairs = list(self._pairs)
        for pair in pairs:
            if pair.closed:
                continue
            for side in (CLIENT, SERVER):
                s = pair.sock[side]
                events = 0
                if (not self._stalled and not pair.eof[side]
                        and len(pair.pending[side]) < BUFFER_LIMIT):
                    events |= selectors.EVENT_READ
                # What the other side sent waits to go out through this one.
                if not self._stalled and pair.pending[_Pair.other(side)]:
                    events |= selectors.EVENT_WRITE
                try:
                    if events:
                        try:
                            self._selector.modify(s, events, (pair, side))
                        except KeyError:
                            self._selector.register(s, events, (pair, side))
                    else:
                        self._selector.unregister(s)
                except (KeyError, ValueError):
                    pass

    def _read(self, pair, side):
        try:
            data = pair.sock[side].recv(_READ_SIZE)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            data = b""
        if not data:
            pair.eof[side] = True
            return
        pair.pending[side] += data

    def _write(self, pair, to_side):
        """Send what the other side sent out through `to_side`, up to an
        armed trigger of that direction."""
        direction = _Pair.other(to_side)
        buf = pair.pending[direction]
        with self._lock:
            trigger = self._triggers.get(direction)
        limit = len(buf) if trigger is None else min(len(buf), trigger[0])
        sent = 0
        if limit > 0:
            try:
                sent = pair.sock[to_side].send(bytes(buf[:limit]))
            except (BlockingIOError, InterruptedError):
                sent = 0
            except OSError as exc:
                if exc.errno not in (errno.EAGAIN, errno.EWOULDBLOCK):
                    pair.eof[to_side] = True
                    buf.clear()
                    return
        del buf[:sent]
        self.forwarded[direction] += sent
        if trigger is not None:
            trigger[0] -= sent
            if trigger[0] <= 0:
                with self._lock:
                    self._triggers.pop(direction, None)
                if trigger[1] == "cut":
                    self._cut_all()
                else:
                    self._stalled = True

    def _reap(self):
        """End the connections one side of which has closed, once what it
        sent before has been delivered (or cannot be)."""
        with self._lock:
            pairs = list(self._pairs)
        for pair in pairs:
            if pair.closed:
                continue
            for side in (CLIENT, SERVER):
                if pair.eof[side] and (not pair.pending[side] or pair.eof[_Pair.other(side)]):
                    self._close_pair(pair)
                    break
        with self._lock:
            self._pairs = [p for p in self._pairs if not p.closed]
