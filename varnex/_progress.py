"""Progress of long work: each stage with its counts and elapsed time, and for counted
work a rate and an estimate of the time left, on a text stream (stderr by default).

A run of minutes must never sit silent, yet a report per block would flood a terminal:
counted stages report at most once per `interval` seconds, and always when they end.
"""

import sys
import threading
import time
from contextlib import contextmanager

__all__ = ["Progress", "reporter", "silent"]


class Progress:
    """Reports the stages of `name` on `stream`.

    Parameters
    ----------
    name : str
        What is working, at the head of each line.
    stream : file-like or None
        Where lines go; None is sys.stderr at the time of writing (so a test's capture
        sees them).
    interval : float
        Seconds between two reports of the same counted stage.
    clock : callable
        Seconds, monotonic; replaceable so that reports can be checked.
    """

    def __init__(self, name, stream=None, interval=2.0, clock=time.monotonic):
        self.name, self.stream, self.interval, self.clock = name, stream, interval, clock
        # Searches count their blocks from several threads.
        self._lock = threading.Lock()

    def _say(self, text):
        print(f"{self.name}: {text}", file=self.stream or sys.stderr, flush=True)

    @contextmanager
    def stage(self, label, total=None, unit="rows"):
        """A stage of the work; yields a callable that takes how many more units are done."""
        start = self.clock()
        counted = {"done": 0, "reported": start}
        self._say(f"{label} ..." if total is None else f"{label}: {total} {unit} ...")

        def advance(count=1):
            with self._lock:
                counted["done"] += count
                now = self.clock()
                if total is not None and now - counted["reported"] >= self.interval:
                    counted["reported"] = now
                    self._say(f"{label}: {self._estimate(counted['done'], total, now - start, unit)}")

        yield advance
        elapsed = self.clock() - start
        done = f": {counted['done']} {unit}" if total is not None else ""
        self._say(f"{label} done{done} in {elapsed:.2f} s")

    @staticmethod
    def _estimate(done, total, elapsed, unit):
        share = f"{done}/{total} {unit} ({100 * done / total:.0f}%) in {elapsed:.1f} s"
        if done <= 0 or elapsed <= 0:
            return share
        rate = done / elapsed
        return f"{share}, {rate:.0f} {unit}/s, about {(total - done) / rate:.0f} s left"


class _Silent:
    """The reporter of work nobody watches: stages cost nothing and print nothing."""

    @contextmanager
    def stage(self, label, total=None, unit="rows"):
        yield _ignore


def _ignore(count=1):
    pass


silent = _Silent()


def reporter(name, enabled, stream=None):
    """A `Progress` of `name` when `enabled` (an estimator's `verbose`, the command
    line's stderr being a terminal and no ``--quiet``), else the silent reporter."""
    return Progress(name, stream) if enabled else silent
