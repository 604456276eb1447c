"""tobrin.py against the real log server: send, the logging handler, the size rule and a
server restart.   python3 tobrin_test.py PATH_TO_TobrinLogger"""

import logging
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tobrin  # noqa: E402

LOGGER = None
WAIT_S = 20.0


class Server:
    """A log server run as its manager would: standard input held, ready byte awaited."""

    def __init__(self, pipe, log):
        self.pipe, self.log = pipe, log
        self.process = subprocess.Popen(
            [LOGGER, "--input=" + pipe, "--output=" + log],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        ready, _, _ = select.select([self.process.stderr], [], [], WAIT_S)
        if not ready or self.process.stderr.read(1) != b"\x01":
            self.process.kill()
            raise AssertionError("the server sent no ready byte")

    def stop(self):
        """Ends the server as its manager's going does; its exit status."""
        self.process.stdin.close()
        status = self.process.wait(timeout=WAIT_S)
        self.process.stdout.close()
        self.process.stderr.close()
        return status


def wait_for_log(path, expected):
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        with open(path, "rb") as f:
            text = f.read()
        if text == expected:
            return
        time.sleep(0.005)
    raise AssertionError("%s holds %d bytes ending %r, not %d ending %r" %
                         (path, len(text), text[-40:], len(expected), expected[-40:]))


class RecordingHandler(tobrin.TobrinHandler):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.failed = []

    def handleError(self, record):
        self.failed.append((record.getMessage(), sys.exc_info()[0]))


class TobrinModuleTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tobrin-py.")
        self.pipe = os.path.join(self.dir, "log.sock")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_send_delivers_whole_messages_and_refuses_a_longer_one(self):
        server = Server(self.pipe, os.path.join(self.dir, "a.log"))
        largest = b"L" * (tobrin.MAX_MESSAGE - 1) + b"\n"
        tobrin.send(self.pipe, largest)
        wait_for_log(server.log, largest)  # the next send is a connection of its own
        tobrin.send(self.pipe, "text as UTF-8 \u00e9\n")
        with self.assertRaises(tobrin.MessageTooLong):
            tobrin.send(self.pipe, b"X" * (tobrin.MAX_MESSAGE + 1))
        wait_for_log(server.log, largest + "text as UTF-8 \u00e9\n".encode())
        self.assertEqual(server.stop(), 1)

    def test_handler_sends_lines_reports_an_oversize_record_and_follows_a_restart(self):
        server = Server(self.pipe, os.path.join(self.dir, "a.log"))
        handler = RecordingHandler(self.pipe)
        handler.setFormatter(logging.Formatter("%(levelname)s %(message)s"))
        logger = logging.getLogger("tobrin_test")
        logger.propagate = False
        logger.addHandler(handler)
        logger.warning("one")
        logger.warning("X" * tobrin.MAX_MESSAGE)
        logger.warning("two")
        wait_for_log(server.log, b"WARNING one\nWARNING two\n")
        self.assertEqual([f[1] for f in handler.failed], [tobrin.MessageTooLong])
        self.assertEqual(server.stop(), 1)

        # The record after the restart goes to the next server on a new connection.
        next_server = Server(self.pipe, os.path.join(self.dir, "b.log"))
        logger.error("three")
        wait_for_log(next_server.log, b"ERROR three\n")
        handler.close()
        logger.removeHandler(handler)
        self.assertEqual(next_server.stop(), 1)
        self.assertEqual(len(handler.failed), 1)


if __name__ == "__main__":
    LOGGER = sys.argv.pop(1)
    unittest.main()
