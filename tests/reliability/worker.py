"""Runs calls in a child process, so that a crash fails one case instead of the test run.

The parent keeps one child (`Worker`) and sends it pickled `Call`s one at a time over a
pipe; the child answers each with its outcome. A child that dies (a signal, or a
sanitizer ending it) or stops answering is reported as CRASHED or HUNG for the case it
was running, with the tail of its error output, and a fresh child takes the next case.

Run as `python -m reliability.worker` (the child side).
"""

import os
import pathlib
import pickle
import select
import struct
import subprocess
import sys
import tempfile
import warnings

from reliability.calls import CRASHED, HUNG, outcome_of

TESTS_DIR = pathlib.Path(__file__).resolve().parent.parent
_HEADER = struct.Struct("<Q")


def _send(stream, payload):
    data = pickle.dumps(payload)
    stream.write(_HEADER.pack(len(data)) + data)
    stream.flush()


def _read_exactly(stream, size):
    chunks = []
    while size:
        chunk = stream.read(size)
        if not chunk:
            return None
        chunks.append(chunk)
        size -= len(chunk)
    return b"".join(chunks)


def _receive(stream):
    header = _read_exactly(stream, _HEADER.size)
    if header is None:
        return None
    return _read_exactly(stream, _HEADER.unpack(header)[0])


class Worker:
    """The parent's handle on the child process."""

    def __init__(self, timeout=120.0):
        self.timeout = timeout
        self.cases = 0          # calls answered or crashed, over every child
        self.restarts = 0
        self._process = None
        self._stderr = None

    def _start(self):
        self._stderr = tempfile.TemporaryFile()
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(TESTS_DIR), env.get("PYTHONPATH")]))
        self._process = subprocess.Popen(
            [sys.executable, "-m", "reliability.worker"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=self._stderr, cwd=TESTS_DIR, env=env)

    def _error_output(self):
        self._stderr.seek(0)
        text = self._stderr.read().decode(errors="replace")
        return text[-4000:]

    def _stop(self):
        if self._process is not None:
            if self._process.poll() is None:
                self._process.kill()
            self._process.wait()
            self._process = None

    def run(self, call):
        """The outcome of `call` in the child: see calls.outcome_of, plus
        (CRASHED, description) and (HUNG, description)."""
        if self._process is None or self._process.poll() is not None:
            self._stop()
            self._start()
        self.cases += 1
        try:
            _send(self._process.stdin, call)
        except BrokenPipeError:
            pass  # the child died at start-up; reported below
        ready, _, _ = select.select([self._process.stdout], [], [], self.timeout)
        if not ready:
            self._stop()
            self.restarts += 1
            return (HUNG, f"no answer within {self.timeout} s")
        answer = _receive(self._process.stdout)
        if answer is None:
            status = self._process.wait()
            self._process = None
            self.restarts += 1
            how = f"killed by signal {-status}" if status < 0 else f"exit status {status}"
            return (CRASHED, f"child {how}; its error output ends with:\n{self._error_output()}")
        return pickle.loads(answer)

    def close(self):
        if self._process is not None and self._process.poll() is None:
            self._process.stdin.close()
            self._process.wait(timeout=30)
        self._stop()


def serve():
    """The child: answer calls until the parent closes the pipe."""
    requests = sys.stdin.buffer
    answers = os.fdopen(os.dup(sys.stdout.fileno()), "wb")
    os.dup2(sys.stderr.fileno(), sys.stdout.fileno())  # stray prints must not corrupt answers
    warnings.simplefilter("ignore")
    while True:
        request = _receive(requests)
        if request is None:
            return
        try:
            call = pickle.loads(request)
        except Exception as error:  # noqa: BLE001 - a broken case is the harness's fault
            _send(answers, ("harness", f"cannot rebuild the case: {error!r}"))
            continue
        _send(answers, outcome_of(call))


if __name__ == "__main__":
    serve()
