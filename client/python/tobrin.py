"""Writing messages into a Tobrin log server's pipe, with the standard library only (Linux).

The server's pipe is a SOCK_SEQPACKET Unix-domain socket at the path given to the server as
--input; each message is written to the log byte for byte, so a line ends in a line feed.

    import logging, tobrin
    tobrin.send("/run/app/log.sock", b"started\\n")
    logging.getLogger().addHandler(tobrin.TobrinHandler("/run/app/log.sock"))

A message is at most MAX_MESSAGE bytes; a longer one is refused before anything is buffered
or sent (MessageTooLong). Nothing is acknowledged: a message the system took just before the
server died goes with the server. There are two kinds of client.

Client, synchronous: each send is one message, sent in the caller's thread. Connecting
retries while the server is starting, for up to `timeout` seconds, and never waits longer,
even when the server takes no connections (its queue full, or the server stopped). A send
that finds the server gone (restarted by its manager) connects again within the time-out
and sends its message once more; when that reconnect fails for the whole time-out, later
sends fail at once, with the same error, until RETRY_INTERVAL seconds have passed. While
the server is behind, a send waits for room.

AsyncClient, asynchronous: send copies the message into a buffer of `buffer_bytes` and
returns; a sender thread of the client's own packs consecutive whole messages into pipe
messages of at most MAX_MESSAGE bytes and sends them, so the log holds exactly what
separate sends would give. A message waits at most `flush_interval` seconds in the buffer,
and one sent with urgent=True wakes the sender at once. While the server is away the sender
tries again with a growing pause of at most a second. When the buffer is full, "drop"
(the default) drops the message and counts it (`dropped`), and "wait" waits for room; when
delivery resumes after drops, the line "tobrin: N messages dropped while the log buffer was
full" goes into the log where the messages are missing, unless drop_notice=False. flush
waits until the system has taken everything sent before it; close flushes for at most the
time-out and ends the sender. At exit each open AsyncClient is flushed, for at most its
time-out. A crash loses what is still in the buffer.

TobrinHandler, a logging handler, sends each formatted record with a line feed added
through an AsyncClient of its own, so a record never waits on the server; records at
ERROR or above are sent at once, and logging.shutdown delivers the rest (for at most the
time-out). With buffer_bytes=0 it sends through a Client instead, one record at a time.

Fork: a child may log at once. Its clients have fresh locks and no connection, an
AsyncClient's buffer starts empty (the parent delivers what it had buffered), and the
child's first message starts the child's own sender thread. A child that ends with
os._exit, as multiprocessing's do, flushes first or loses what it buffered.

Installing: the .deb puts this module where Debian's python3 finds it; from the source
tree, `python3 -m pip install ./client/python` (no network needed). More in the guide for
senders, docs/clients.md.
"""

import atexit
import collections
import errno
import logging
import os
import socket
import struct
import threading
import time
import weakref

__all__ = ["MAX_MESSAGE", "RETRY_INTERVAL", "MessageTooLong", "Client", "AsyncClient", "send",
           "TobrinHandler"]

MAX_MESSAGE = 32768
# How long a Client refuses sends at once after a reconnect failed for the whole time-out.
RETRY_INTERVAL = 1.0
DROP_NOTICE = "tobrin: %d messages dropped while the log buffer was full\n"

# A pipe that is not there yet, whose server is between start and listen, or whose queue
# of connections is full.
_RETRY_CONNECT = (FileNotFoundError, ConnectionRefusedError, BlockingIOError, InterruptedError)
# The server has closed its end: connecting again may reach the next one.
_SERVER_GONE = {errno.EPIPE, errno.ECONNRESET, errno.ENOTCONN}
# The sender's pauses between tries while the server is away: from the first, doubled up to
# the last, so that a server that is back is found within a second.
_FIRST_PAUSE, _LAST_PAUSE = 0.002, 1.0
# How long one send of the sender thread may wait for room before it looks again whether
# its client is being closed.
_SEND_WAIT = 0.25

# Every live client, renewed in a forked child.
_clients = weakref.WeakSet()


class MessageTooLong(ValueError):
    """A message longer than MAX_MESSAGE bytes; nothing of it was sent."""


def _try_connect(pipe_name):
    """One connect that never waits: a server whose queue of connections is full (at its
    descriptor limit, or stopped) answers BlockingIOError at once instead of holding the
    caller in the kernel. The socket returned is blocking."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    try:
        sock.setblocking(False)
        sock.connect(pipe_name)
        sock.setblocking(True)
        return sock
    except BaseException:
        sock.close()
        raise


def _connect(pipe_name, timeout):
    deadline = time.monotonic() + timeout
    while True:
        try:
            return _try_connect(pipe_name)
        except _RETRY_CONNECT as error:
            if time.monotonic() < deadline:
                time.sleep(0.002)
            elif isinstance(error, BlockingIOError):
                raise TimeoutError(errno.ETIMEDOUT, "the log server at %s took no connection "
                                   "within %g s (its queue is full)" % (pipe_name, timeout))
            else:
                raise


def _as_bytes(data):
    if isinstance(data, str):
        data = data.encode("utf-8")
    data = bytes(data)
    if len(data) > MAX_MESSAGE:
        raise MessageTooLong("message of %d bytes; the pipe takes at most %d" %
                             (len(data), MAX_MESSAGE))
    return data


class Client:
    """One connection to the pipe `pipe_name`, safe to share between threads."""

    def __init__(self, pipe_name, timeout=5.0, _connect_now=True):
        self.pipe_name = pipe_name
        self.timeout = timeout
        self._lock = threading.Lock()
        self._failure = None  # the error of the last reconnect, which took the whole time-out
        self._failed_at = 0.0
        # The handler's client connects at its first send, so that a server away when the
        # first record comes costs one time-out, not one a record.
        self._sock = _connect(pipe_name, timeout) if _connect_now else None
        _clients.add(self)

    def send(self, data):
        """Sends `data` (bytes, or str as UTF-8) as one message."""
        data = _as_bytes(data)
        with self._lock:
            if self._sock is not None:
                try:
                    self._sock.send(data, socket.MSG_NOSIGNAL)
                    return
                except OSError as error:
                    if error.errno not in _SERVER_GONE:
                        raise
                    self._drop()
            self._reconnect()
            try:
                self._sock.send(data, socket.MSG_NOSIGNAL)
            except OSError:
                self._drop()
                raise

    def _reconnect(self):
        if self._failure is not None and time.monotonic() < self._failed_at + RETRY_INTERVAL:
            raise OSError(self._failure.errno, "no log server at %s at the last try; the next "
                          "in at most %g s" % (self.pipe_name, RETRY_INTERVAL))
        try:
            self._sock = _connect(self.pipe_name, self.timeout)
            self._failure = None
        except OSError as error:
            self._failure, self._failed_at = error, time.monotonic()
            raise

    def close(self):
        with self._lock:
            self._drop()

    def _drop(self):
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def _renew_in_child(self):
        # Another thread of the parent may have held the lock when it forked; closing the
        # child's copy of the socket leaves the parent's connection as it was.
        self._lock = threading.Lock()
        self._drop()
        self._failure = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def send(pipe_name, data, timeout=5.0):
    """Connects to `pipe_name`, sends `data` as one message and closes."""
    data = _as_bytes(data)
    with Client(pipe_name, timeout) as client:
        client.send(data)


class _Gap:
    """Where messages were dropped from the buffer: the count, and the notice line once the
    sender has taken it (later drops then make a gap of their own)."""

    __slots__ = ("count", "line")

    def __init__(self):
        self.count, self.line = 1, None


class AsyncClient:
    """A buffer and a sender thread for the pipe `pipe_name`, safe to share between threads.
    Creating it connects to nothing; the first send starts the sender thread."""

    def __init__(self, pipe_name, buffer_bytes=1 << 20, flush_interval=0.1, when_full="drop",
                 timeout=5.0, drop_notice=True):
        if when_full not in ("drop", "wait"):
            raise ValueError("when_full is 'drop' or 'wait', not %r" % (when_full,))
        self.pipe_name = pipe_name
        self.buffer_bytes = buffer_bytes
        self.flush_interval = flush_interval
        self.when_full = when_full
        self.timeout = timeout
        self.drop_notice = drop_notice
        self._closed = False
        self._renew()
        _clients.add(self)

    def _renew(self):
        self._lock = threading.Lock()
        self._wake = threading.Condition(self._lock)  # the sender waits here
        self._progress = threading.Condition(self._lock)  # callers wait here for room or a flush
        self._queue = collections.deque()  # messages (bytes) and _Gaps, oldest first
        self._bytes = 0  # of the messages in the queue
        self._queued = self._sent = 0  # items ever queued, and ever taken by the system
        self._due = 0.0  # when the sender must take the queue's head
        self._dropped = 0
        self._stuck = False  # a flush ran out of the whole time-out, and nothing went since
        self._abandoned = False  # closing has given up on what is left
        self._thread = None
        self._sock = None

    def _renew_in_child(self):
        if self._sock is not None:
            self._sock.close()  # the child's copy only
        self._renew()

    @property
    def dropped(self):
        """How many messages were dropped because the buffer was full."""
        return self._dropped

    def send(self, data, urgent=False):
        """Buffers `data` (bytes, or str as UTF-8) as one message; True once it is buffered,
        False when it was dropped. urgent=True has the sender send it at once."""
        data = _as_bytes(data)
        if not data:
            return True  # the server skips an empty message
        with self._lock:
            if self._closed:
                raise ValueError("send on a closed tobrin.AsyncClient")
            # A message that finds the buffer empty is taken whatever its size.
            while self._bytes and self._bytes + len(data) > self.buffer_bytes:
                if self.when_full == "drop" or self._closed:
                    self._count_drop()
                    return False
                self._progress.wait()
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, name="tobrin sender",
                                                daemon=True)
                self._thread.start()
            if not self._queue:
                self._due = time.monotonic() + self.flush_interval
                self._wake.notify()
            self._queue.append(data)
            self._queued += 1
            self._bytes += len(data)
            # Urgent, or a whole pipe message (or half the buffer) waits: the sender goes now.
            enough = min(MAX_MESSAGE, self.buffer_bytes // 2)
            if urgent or self._bytes >= enough > self._bytes - len(data):
                self._hurry()
            return True

    def _count_drop(self):
        self._dropped += 1
        if self.drop_notice:
            tail = self._queue[-1]
            if isinstance(tail, _Gap) and tail.line is None:
                tail.count += 1
            else:
                self._queue.append(_Gap())
                self._queued += 1

    def _hurry(self):
        self._due = 0.0
        self._wake.notify()

    def flush(self, timeout=None):
        """Waits until the system has taken every message sent before the call: True then,
        False after `timeout` seconds (the client's time-out by default)."""
        wait = self.timeout if timeout is None else timeout
        deadline = time.monotonic() + wait
        with self._lock:
            target = self._queued
            if self._sent < target:
                self._hurry()
            while self._sent < target:
                left = deadline - time.monotonic()
                if left <= 0:
                    self._stuck = self._stuck or wait >= self.timeout
                    return False
                self._progress.wait(left)
            return True

    def _settle(self):
        """A flush, at once when the last one ran out of time and nothing went since: at
        exit the time-out is waited for once, not once for every flush and close."""
        return not self._stuck and self.flush()

    def close(self, timeout=None):
        """Flushes for at most `timeout` seconds (the client's time-out by default), then ends
        the sender; what it could not deliver by then is lost."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            self._progress.notify_all()  # callers waiting for room drop their messages
            stuck = self._stuck
        if not stuck:
            self.flush(timeout)
        with self._lock:
            self._abandoned = True
            self._wake.notify()
            thread = self._thread
        if thread is not None:
            thread.join(_SEND_WAIT * 4)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _run(self):
        pause = _FIRST_PAUSE
        while True:
            with self._lock:
                taken = self._take()
            if taken is None:
                break
            message, count = taken
            try:
                if self._sock is None:
                    self._sock = _try_connect(self.pipe_name)
                    self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO,
                                          struct.pack("@ll", 0, int(_SEND_WAIT * 1e6)))
                self._sock.send(message, socket.MSG_NOSIGNAL)
            except OSError as error:
                # A send that found no room within _SEND_WAIT sent nothing: the sender looks
                # whether it is being closed, and sends again.
                if self._sock is not None and error.errno == errno.EAGAIN:
                    continue
                self._close_socket()
                with self._lock:
                    self._wake.wait_for(lambda: self._abandoned, pause)
                pause = min(2 * pause, _LAST_PAUSE)
                continue
            pause = _FIRST_PAUSE
            with self._lock:
                self._give_back(count)
        self._close_socket()

    def _take(self):
        """Waits until the queue's head is due; the next pipe message and the number of items
        it holds, or None when the sender is to end."""
        while not self._abandoned:
            if not self._queue:
                if self._closed:
                    return None
                self._wake.wait()
                continue
            left = self._due - time.monotonic()
            if left > 0 and not self._closed:
                self._wake.wait(left)
                continue
            parts, size = [], 0
            for item in self._queue:
                if isinstance(item, _Gap):
                    if item.line is None:
                        item.line = (DROP_NOTICE % item.count).encode()
                    item = item.line
                if size + len(item) > MAX_MESSAGE:
                    break
                parts.append(item)
                size += len(item)
            return b"".join(parts), len(parts)
        return None

    def _give_back(self, count):
        for _ in range(count):
            item = self._queue.popleft()
            if not isinstance(item, _Gap):
                self._bytes -= len(item)
        self._sent += count
        self._due = 0.0  # what came during the send has waited long enough
        self._stuck = False
        self._progress.notify_all()

    def _close_socket(self):
        if self._sock is not None:
            self._sock.close()
            self._sock = None


@atexit.register
def _flush_at_exit():
    for client in list(_clients):
        if isinstance(client, AsyncClient) and not client._closed:
            client._settle()


def _renew_in_child():
    for client in list(_clients):
        client._renew_in_child()


os.register_at_fork(after_in_child=_renew_in_child)


class TobrinHandler(logging.Handler):
    """Sends each formatted record, with a line feed added, as one message, through an
    AsyncClient of its own (a Client when buffer_bytes is 0). A record that cannot be sent
    (too long, or with a Client no server within the time-out) goes to handleError; one
    that finds the buffer full is dropped and counted (`dropped`)."""

    def __init__(self, pipe_name, timeout=5.0, level=logging.NOTSET, buffer_bytes=1 << 20,
                 flush_interval=0.1, when_full="drop", drop_notice=True):
        super().__init__(level)
        self.pipe_name = pipe_name
        self.timeout = timeout
        self.buffer_bytes = buffer_bytes
        self._options = dict(buffer_bytes=buffer_bytes, flush_interval=flush_interval,
                             when_full=when_full, timeout=timeout, drop_notice=drop_notice)
        self._client = None

    @property
    def dropped(self):
        return self._client.dropped if isinstance(self._client, AsyncClient) else 0

    def _open(self):
        if self.buffer_bytes:
            return AsyncClient(self.pipe_name, **self._options)
        return Client(self.pipe_name, self.timeout, _connect_now=False)

    def emit(self, record):
        try:
            data = _as_bytes(self.format(record) + "\n")
            if self._client is None:
                self._client = self._open()
            if self.buffer_bytes:
                self._client.send(data, urgent=record.levelno >= logging.ERROR)
            else:
                self._client.send(data)
        except Exception:
            self.handleError(record)

    def flush(self):
        if isinstance(self._client, AsyncClient):
            self._client._settle()

    def close(self):
        self.acquire()
        try:
            if self._client is not None:
                self._client.close()
                self._client = None
        finally:
            self.release()
        super().close()
