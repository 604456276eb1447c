"""tobrin.py against the real log server: send, the logging handler and the asynchronous
client, the size rule, server restarts, stops and absences, fork, exit, and pip.
    python3 tobrin_test.py PATH_TO_TobrinLogger"""

import faulthandler
import logging
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # leave the source tree as it is
import tobrin  # noqa: E402

LOGGER = None
WAIT_S = 20.0
# A test still running after this is taken to hang: every thread's traceback is printed
# and the run ends.
WATCHDOG_S = 90.0
# An application thread that never waits on the server gets through a few hundred records
# far sooner than this; one that waited would take a time-out a record, or hang.
NEVER_WAITS_S = 10.0
NOTICE = re.compile(r"tobrin: (\d+) messages dropped while the log buffer was full\n")


class Server:
    """A log server run as its manager would: standard input held, ready byte awaited."""

    def __init__(self, pipe, log, *options):
        self.pipe, self.log = pipe, log
        self.process = subprocess.Popen(
            [LOGGER, "--input=" + pipe, "--output=" + log] + list(options),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        ready, _, _ = select.select([self.process.stderr], [], [], WAIT_S)
        if not ready or self.process.stderr.read(1) != b"\x01":
            self.process.kill()
            raise AssertionError("the server sent no ready byte")

    def signal(self, number):
        os.kill(self.process.pid, number)

    def stop(self):
        """Ends the server as its manager's going does; its exit status."""
        self.process.stdin.close()
        status = self.process.wait(timeout=WAIT_S)
        self.process.stdout.close()
        self.process.stderr.close()
        return status


def wait_for_log(path, expected):
    """Waits until the log holds `expected` exactly, or until expected(text) is true."""
    done = expected if callable(expected) else expected.__eq__
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        with open(path, "rb") as f:
            text = f.read()
        if done(text):
            return text.decode()
        time.sleep(0.005)
    raise AssertionError("%s holds %d bytes ending %r, not what was sent" %
                         (path, len(text), text[-60:]))


def record(sender, i):
    """Line i of `sender`: lengths vary, and every 40th line fills a whole pipe message."""
    head = "%s %06d " % (sender, i)
    size = tobrin.MAX_MESSAGE - len(head) - 1 if i % 40 == 39 else (i * 7919) % 3000
    return head + "x" * size + "\n"


def log_records(logger, sender, numbers):
    """Logs the records at WARNING; how long that took the calling thread."""
    start = time.monotonic()
    for i in numbers:
        logger.warning(record(sender, i)[:-1])
    return time.monotonic() - start


def wait_child(pid):
    """The exit status of a forked child, or "hung" once it has had WAIT_S."""
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.WEXITSTATUS(status) if os.WIFEXITED(status) else "killed"
        time.sleep(0.005)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return "hung"


class RecordingHandler(tobrin.TobrinHandler):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.failed = []

    def handleError(self, record):
        self.failed.append((record.getMessage(), sys.exc_info()[0]))


class TobrinModuleTest(unittest.TestCase):
    def setUp(self):
        faulthandler.dump_traceback_later(WATCHDOG_S, exit=True)
        self.dir = tempfile.mkdtemp(prefix="tobrin-py.")
        self.pipe = os.path.join(self.dir, "log.sock")

    def tearDown(self):
        faulthandler.cancel_dump_traceback_later()
        shutil.rmtree(self.dir, ignore_errors=True)

    def log_path(self, name):
        return os.path.join(self.dir, name)

    def handler(self, fmt="%(message)s", **options):
        """A handler on a logger of this test's own, removed and closed at the end."""
        handler = RecordingHandler(self.pipe, **options)
        handler.setFormatter(logging.Formatter(fmt))
        logger = logging.getLogger(self.id())
        logger.propagate = False
        logger.addHandler(handler)
        self.addCleanup(handler.close)
        self.addCleanup(logger.removeHandler, handler)
        return handler, logger

    def check_records(self, text, senders):
        """Each line is a whole record of one of `senders`, in that sender's order from 0 on,
        or a drop notice standing for the records missing just there. The records of each
        sender that arrived, and how many the notices count."""
        seen, pending, dropped = dict.fromkeys(senders, 0), 0, 0
        expected = dict.fromkeys(senders, 0)
        for line in text.splitlines(keepends=True):
            notice = NOTICE.fullmatch(line)
            if notice:
                pending += int(notice.group(1))
                continue
            sender, number = line.split(" ", 2)[:2]
            i = int(number)
            self.assertTrue(sender in seen and line == record(sender, i),
                            "not a whole record: %r" % line[:60])
            self.assertEqual(i - expected[sender], pending,
                             "records missing without a notice, or out of order, at %r" % line[:20])
            dropped, pending = dropped + pending, 0
            seen[sender] += 1
            expected[sender] = i + 1
        return seen, dropped + pending

    def test_send_delivers_whole_messages_and_refuses_a_longer_one(self):
        server = Server(self.pipe, self.log_path("a.log"))
        largest = b"L" * (tobrin.MAX_MESSAGE - 1) + b"\n"
        tobrin.send(self.pipe, largest)
        wait_for_log(server.log, largest)  # the next send is a connection of its own
        tobrin.send(self.pipe, "text as UTF-8 \u00e9\n")
        with self.assertRaises(tobrin.MessageTooLong):
            tobrin.send(self.pipe, b"X" * (tobrin.MAX_MESSAGE + 1))
        wait_for_log(server.log, largest + "text as UTF-8 \u00e9\n".encode())
        self.assertEqual(server.stop(), 1)

    def test_handler_sends_lines_reports_an_oversize_record_and_follows_a_restart(self):
        server = Server(self.pipe, self.log_path("a.log"))
        handler, logger = self.handler("%(levelname)s %(message)s")
        logger.warning("one")
        logger.warning("X" * tobrin.MAX_MESSAGE)
        logger.error("two")  # sent at once, with what waits before it
        wait_for_log(server.log, b"WARNING one\nERROR two\n")
        self.assertEqual([f[1] for f in handler.failed], [tobrin.MessageTooLong])
        self.assertEqual(server.stop(), 1)

        # While no server is there, and across its start, two threads send: the handler,
        # and a client whose small buffer has it wait for room. Both senders' records are
        # packed into pipe messages, and each must reach the next server whole and in order.
        handler.setFormatter(logging.Formatter("%(message)s"))
        client = tobrin.AsyncClient(self.pipe, buffer_bytes=65536, when_full="wait")
        self.addCleanup(client.close)
        count = 200
        sender = threading.Thread(
            target=lambda: [client.send(record("c", i)) for i in range(count)])
        sender.start()
        log_records(logger, "h", range(count // 2))
        next_server = Server(self.pipe, self.log_path("b.log"))
        log_records(logger, "h", range(count // 2, count))
        sender.join(WAIT_S)
        self.assertTrue(handler._client.flush(WAIT_S) and client.flush(WAIT_S))
        text = wait_for_log(next_server.log, lambda text: text.count(b"\n") == 2 * count)
        self.assertEqual(self.check_records(text, "hc"), ({"h": count, "c": count}, 0))
        self.assertEqual((len(handler.failed), handler.dropped), (1, 0))
        handler.close()
        self.assertEqual(next_server.stop(), 1)

    def test_handler_never_waits_on_an_absent_or_stopped_server_and_counts_drops(self):
        handler, logger = self.handler(buffer_bytes=8192, timeout=1.0)
        log = self.log_path("a.log")

        def deliver_and_check(last):
            """With the server back, what was buffered and the notice of what was dropped
            arrive, then the record `last`."""
            self.assertTrue(handler._client.flush(WAIT_S))
            log_records(logger, "h", [last])
            self.assertTrue(handler._client.flush(WAIT_S))
            text = wait_for_log(log, lambda text: text.endswith(record("h", last).encode()))
            self.assertEqual(self.check_records(text, "h"),
                             ({"h": last + 1 - handler.dropped}, handler.dropped))

        # No server: records wait in the buffer or are dropped, and none waits for a server.
        self.assertLess(log_records(logger, "h", range(100)), NEVER_WAITS_S)
        server = Server(self.pipe, log)
        deliver_and_check(100)
        dropped_while_absent = handler.dropped
        self.assertGreater(dropped_while_absent, 0)

        # The server stopped: the sender waits for room, the application does not.
        server.signal(signal.SIGSTOP)
        self.assertLess(log_records(logger, "h", range(101, 2101)), NEVER_WAITS_S)
        self.assertGreater(handler.dropped, dropped_while_absent)
        server.signal(signal.SIGCONT)
        deliver_and_check(2101)

        # Closing gives up on a stopped server after its time-out.
        server.signal(signal.SIGSTOP)
        log_records(logger, "h", range(2102, 2600))
        handler.close()
        server.signal(signal.SIGCONT)
        self.assertEqual(server.stop(), 1)

    def test_exit_delivers_what_the_handler_and_a_client_hold(self):
        server = Server(self.pipe, self.log_path("a.log"))
        # The child's records could wait an hour for the sender: only its exit sends them.
        child = subprocess.run([sys.executable, __file__, "--exit-child", self.pipe],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=WAIT_S)
        self.assertEqual(child.returncode, 0, child.stdout.decode())
        text = wait_for_log(server.log, lambda text: text.count(b"\n") == 2 * 50)
        self.assertEqual(self.check_records(text, "hc"), ({"h": 50, "c": 50}, 0))
        self.assertEqual(server.stop(), 1)

    def test_a_child_forked_while_another_thread_logs_can_log(self):
        server = Server(self.pipe, self.log_path("a.log"), "--filesize=1000000000")
        handler, logger = self.handler(when_full="wait")
        client = tobrin.Client(self.pipe)
        self.addCleanup(client.close)
        stop, sent = threading.Event(), []

        def keep_sending():
            while not stop.is_set():
                i = len(sent)
                logger.warning(record("p", i)[:-1])
                client.send(record("s", i))
                sent.append(i)

        thread = threading.Thread(target=keep_sending)
        thread.start()
        children = 10
        try:
            for k in range(children):
                pid = os.fork()
                if pid == 0:
                    status = 1
                    try:
                        logger.warning(record("f%d" % k, 0)[:-1])
                        client.send(record("g%d" % k, 0))
                        status = 0 if handler._client.flush(WAIT_S) else 2
                    finally:
                        os._exit(status)
                self.assertEqual(wait_child(pid), 0, "child %d, forked while a thread logs" % k)
        finally:
            stop.set()
            thread.join(WAIT_S)
        self.assertTrue(handler._client.flush(WAIT_S))
        # The parent's records come once each, whatever its children did.
        senders = ["p", "s"] + ["%s%d" % (kind, k) for kind in "fg" for k in range(children)]
        lines = 2 * len(sent) + 2 * children
        text = wait_for_log(server.log, lambda text: text.count(b"\n") == lines)
        expected = dict.fromkeys(senders, 1)
        expected.update(p=len(sent), s=len(sent))
        self.assertEqual(self.check_records(text, senders), (expected, 0))
        self.assertEqual(server.stop(), 1)

    def test_client_time_out_holds_against_a_full_queue_then_sends_fail_at_once(self):
        server = Server(self.pipe, self.log_path("a.log"))
        client = tobrin.Client(self.pipe, timeout=0.3)
        self.addCleanup(client.close)
        client.send(b"one\n")
        wait_for_log(server.log, b"one\n")
        self.assertEqual(server.stop(), 1)

        # A listening socket that never accepts, its queue full, stands where the server was.
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        listener.bind(self.pipe)
        listener.listen(0)
        queued = []
        while len(queued) < 1000:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
            sock.setblocking(False)
            queued.append(sock)
            try:
                sock.connect(self.pipe)
            except BlockingIOError:
                break
        with self.assertRaises(TimeoutError):
            tobrin.Client(self.pipe, timeout=0.3)
        self.addCleanup(setattr, tobrin, "RETRY_INTERVAL", tobrin.RETRY_INTERVAL)
        tobrin.RETRY_INTERVAL = 3600
        with self.assertRaises(TimeoutError):
            client.send(b"two\n")  # the server gone: the reconnect times out
        # A synchronous handler waits one time-out, not one a record.
        handler, logger = self.handler(buffer_bytes=0, timeout=0.3)
        self.assertLess(log_records(logger, "h", range(35)), 35 * 0.3 / 2)
        self.assertEqual([f[1] for f in handler.failed], [TimeoutError] * 35)
        for sock in queued + [listener]:
            sock.close()
        os.unlink(self.pipe)

        # Within the retry interval the client does not try again, even with a server back.
        next_server = Server(self.pipe, self.log_path("b.log"))
        with self.assertRaises(TimeoutError):
            client.send(b"three\n")
        tobrin.RETRY_INTERVAL = 0
        client.send(b"four\n")
        wait_for_log(next_server.log, b"four\n")
        self.assertEqual(next_server.stop(), 1)

    def test_pip_installs_the_module_from_the_source_tree_offline(self):
        before = sorted(os.listdir(HERE))
        for python in sorted({sys.executable, "/usr/bin/python3"}):
            if subprocess.run([python, "-m", "pip", "--version"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode != 0:
                continue  # no pip for this Python
            with self.subTest(python=python):
                target = tempfile.mkdtemp(dir=self.dir)
                install = subprocess.run(
                    [python, "-m", "pip", "install", "--no-index", "--no-cache-dir",
                     "--disable-pip-version-check", "--target", target, HERE],
                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
                self.assertEqual(install.returncode, 0, install.stdout.decode())
                where = subprocess.run([python, "-c", "import tobrin; print(tobrin.__file__)"],
                                       env=dict(os.environ, PYTHONPATH=target),
                                       stdout=subprocess.PIPE, timeout=WAIT_S)
                self.assertEqual(where.stdout.decode().strip(), os.path.join(target, "tobrin.py"))
        self.assertEqual(sorted(os.listdir(HERE)), before, "the build left files behind")


def exit_child(pipe):
    """Logs through a handler and sends through a client, then exits without a flush."""
    handler = tobrin.TobrinHandler(pipe, flush_interval=3600)
    handler.setFormatter(logging.Formatter("%(message)s"))
    logging.getLogger().addHandler(handler)
    client = tobrin.AsyncClient(pipe, flush_interval=3600)
    for i in range(50):
        logging.warning(record("h", i)[:-1])
        client.send(record("c", i))


if __name__ == "__main__":
    if sys.argv[1] == "--exit-child":
        exit_child(sys.argv[2])
        sys.exit(0)
    LOGGER = sys.argv.pop(1)
    unittest.main()
