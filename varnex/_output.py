"""Where the command line writes its table: standard output, a device or pipe, or a file.

`Output` checks the destination when it is created, before any work, and writes to it
in the way that suits it:

- ``-``, or a path naming the file standard output already writes to: standard output;
- an existing path that is not a regular file (a terminal, ``/dev/null``, a FIFO): in
  place, as any program writing there would;
- a regular file, new or existing: a temporary file beside it, renamed over it once
  complete, so an interrupted run never leaves half a table. An existing file keeps
  its mode (and, for root, its owner).

Symbolic links are followed: the file they lead to is written, the link stays.
"""

import contextlib
import os
import stat
import sys
import tempfile


class OutputError(Exception):
    """An output path that cannot be written, with a one-line explanation."""


class Output:
    """A checked destination for the command's table; `open()` writes it."""

    def __init__(self, path):
        self.path = path
        self.name = "standard output" if path == "-" else path
        self.kind, self.target, self.existing = self._classify(path)

    def _classify(self, path):
        if path == "-":
            return "stdout", None, None
        target = os.path.realpath(path)   # through symbolic links, to the file they name
        try:
            existing = os.stat(path)
        except FileNotFoundError:
            existing = None
        except OSError as error:
            raise OutputError(f"cannot write {path}: {error.strerror}") from None
        if existing is None:
            folder = os.path.dirname(target)
            if not os.path.isdir(folder):
                raise OutputError(f"cannot write {path}: the folder {folder} does not exist")
            self._check_access(folder, os.W_OK | os.X_OK, f"cannot write {path}: the folder {folder} is not writable")
            return "replace", target, None
        if _is_standard_output(existing):
            return "stdout", None, existing
        if stat.S_ISDIR(existing.st_mode):
            raise OutputError(f"cannot write {path}: it is a folder; name a file in it")
        self._check_access(path, os.W_OK, f"cannot write {path}: permission denied")
        if not stat.S_ISREG(existing.st_mode):
            return "in place", path, existing
        folder = os.path.dirname(target)
        self._check_access(folder, os.W_OK | os.X_OK, f"cannot replace {path}: the folder {folder} is not writable")
        return "replace", target, existing

    @staticmethod
    def _check_access(path, mode, message):
        if not os.access(path, mode):
            raise OutputError(message)

    def is_file(self, path):
        """Whether this output is the file at `path`, or ``-`` for standard input (which
        must not be overwritten).

        Standard output counts when it is that regular file: a shell's ``>> input.csv``
        would append to the file still being read. A terminal may be both.
        """
        try:
            source = os.fstat(sys.stdin.fileno()) if path == "-" else os.stat(path)
            if self.kind == "stdout":
                return stat.S_ISREG(source.st_mode) and os.path.samestat(source, os.fstat(sys.stdout.fileno()))
            return self.existing is not None and os.path.samestat(self.existing, source)
        except (OSError, AttributeError, ValueError):   # no such file, or a stream without a descriptor
            return False

    @contextlib.contextmanager
    def open(self):
        """A text file to write the table to; it reaches the destination when the block ends.

        If the block raises (an error, Ctrl-C, a termination signal turned into an
        exception), a replaced file is left as it was and the temporary one removed.
        """
        if self.kind == "stdout":
            sys.stdout.flush()
            with os.fdopen(os.dup(sys.stdout.fileno()), "w", newline="", encoding="utf-8") as file:
                yield file
            return
        if self.kind == "in place":
            with open(self.target, "w", newline="", encoding="utf-8") as file:
                yield file
            return
        folder = os.path.dirname(self.target)
        handle, temporary = tempfile.mkstemp(prefix=".varnex-", suffix=".csv", dir=folder)
        try:
            with os.fdopen(handle, "w", newline="", encoding="utf-8") as file:
                yield file
                file.flush()
                os.fsync(file.fileno())
            self._give_attributes(temporary)
            os.replace(temporary, self.target)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
            raise

    def _give_attributes(self, temporary):
        """The mode (and for root, the owner) of the file replaced; else a new file's mode."""
        if self.existing is None:
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temporary, 0o666 & ~umask)   # mkstemp makes the file private
            return
        os.chmod(temporary, stat.S_IMODE(self.existing.st_mode))
        if os.geteuid() == 0:
            with contextlib.suppress(OSError):
                os.chown(temporary, self.existing.st_uid, self.existing.st_gid)


def _is_standard_output(status):
    try:
        return os.path.samestat(status, os.fstat(sys.stdout.fileno()))
    except (OSError, AttributeError, ValueError):   # no standard output, or one without a descriptor
        return False
