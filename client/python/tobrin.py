"""Writing messages into a Tobrin log server's pipe, with the standard library only (Linux).

The server's pipe is a SOCK_SEQPACKET Unix-domain socket at the path given to the server as
--input; each message is written to the log byte for byte, so a line ends in a line feed.

    import logging, tobrin
    tobrin.send("/run/app/log.sock", b"started\\n")
    logging.getLogger().addHandler(tobrin.TobrinHandler("/run/app/log.sock"))

The rules are those of the C library (tobrin/client.h): a message is at most MAX_MESSAGE
bytes, and a longer one is refused before anything is sent (MessageTooLong) with the
connection kept; connecting retries while the server is starting, for up to `timeout`
seconds; a send that finds the server gone (restarted by its manager) connects again within
the time-out and sends its message once more. Nothing is acknowledged: a message the system
took just before the server died goes with the server.
"""

import errno
import logging
import socket
import threading
import time

__all__ = ["MAX_MESSAGE", "MessageTooLong", "Client", "send", "TobrinHandler"]

MAX_MESSAGE = 32768

# A pipe that is not there yet, or whose server is between start and listen.
_RETRY_CONNECT = (FileNotFoundError, ConnectionRefusedError, BlockingIOError, InterruptedError)
# The server has closed its end: connecting again may reach the next one.
_SERVER_GONE = {errno.EPIPE, errno.ECONNRESET, errno.ENOTCONN}


class MessageTooLong(ValueError):
    """A message longer than MAX_MESSAGE bytes; nothing of it was sent."""


def _connect(pipe_name, timeout):
    deadline = time.monotonic() + timeout
    while True:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        try:
            sock.connect(pipe_name)
            return sock
        except _RETRY_CONNECT:
            sock.close()
            if time.monotonic() >= deadline:
                raise
            time.sleep(0.002)
        except BaseException:
            sock.close()
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

    def __init__(self, pipe_name, timeout=5.0):
        self.pipe_name = pipe_name
        self.timeout = timeout
        self._lock = threading.Lock()
        self._sock = _connect(pipe_name, timeout)

    def send(self, data):
        """Sends `data` (bytes, or str as UTF-8) as one message."""
        data = _as_bytes(data)
        with self._lock:
            if self._sock is None:
                self._sock = _connect(self.pipe_name, self.timeout)
            try:
                self._sock.send(data, socket.MSG_NOSIGNAL)
                return
            except OSError as error:
                if error.errno not in _SERVER_GONE:
                    raise
                self._drop()
            self._sock = _connect(self.pipe_name, self.timeout)
            try:
                self._sock.send(data, socket.MSG_NOSIGNAL)
            except OSError:
                self._drop()
                raise

    def close(self):
        with self._lock:
            self._drop()

    def _drop(self):
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def send(pipe_name, data, timeout=5.0):
    """Connects to `pipe_name`, sends `data` as one message and closes."""
    data = _as_bytes(data)
    with Client(pipe_name, timeout) as client:
        client.send(data)


class TobrinHandler(logging.Handler):
    """Sends each formatted record, with a line feed added, as one message. A record that
    cannot be sent (too long, or no server within the time-out) goes to handleError."""

    def __init__(self, pipe_name, timeout=5.0, level=logging.NOTSET):
        super().__init__(level)
        self.pipe_name = pipe_name
        self.timeout = timeout
        self._client = None

    def emit(self, record):
        try:
            data = _as_bytes(self.format(record) + "\n")
            if self._client is None:
                self._client = Client(self.pipe_name, self.timeout)
            self._client.send(data)
        except Exception:
            self.handleError(record)

    def close(self):
        self.acquire()
        try:
            if self._client is not None:
                self._client.close()
                self._client = None
        finally:
            self.release()
        super().close()
