"""One batch at a time per output folder, and the marker file by which Dask workers show that
they see the client's output folder."""

from __future__ import annotations

import errno
import os
import secrets
import socket

from kova_rs.batch.jobs import BatchUsageError
from kova_rs.safe_read import describe_os_error

LOCK_NAME = ".kova-batch.lock"


class OutputFolderLock:
    """Held while a batch writes into ``folder``: a second batch on the same folder is refused
    (two runs would redo each other's recordings and remove each other's temporary files).

    An advisory ``flock`` on a file in the folder; it is released by the system when the
    holder exits in any way, so a killed run never leaves a stale lock behind.
    """

    def __init__(self, folder: str):
        self.folder = folder
        self.path = os.path.join(folder, LOCK_NAME)
        self.fd: int | None = None
        self.marker = ""

    def __enter__(self) -> OutputFolderLock:
        import fcntl

        try:
            fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o666)
        except OSError as err:
            raise BatchUsageError(f"output {self.folder}: cannot create {LOCK_NAME} "
                                  f"({describe_os_error(err)})") from None
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as err:
            holder = os.pread(fd, 200, 0).decode("utf-8", "replace").strip()
            os.close(fd)
            if err.errno not in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
                raise BatchUsageError(f"output {self.folder}: cannot lock {LOCK_NAME} "
                                      f"({describe_os_error(err)})") from None
            raise BatchUsageError(
                f"another kova batch ({holder or 'process unknown'}) is writing to "
                f"{self.folder}; wait for it to finish or choose another --output") from None
        self.fd = fd
        os.ftruncate(fd, 0)
        os.pwrite(fd, f"process {os.getpid()} on {socket.gethostname()}\n".encode(), 0)
        return self

    def place_marker(self) -> str:
        """Creates a file with a name of this run's own in the folder; returns its path."""
        self.marker = os.path.join(self.folder, f".kova-batch-{secrets.token_hex(8)}.marker")
        with open(self.marker, "x", encoding="utf-8") as handle:
            handle.write("workers of this kova batch run check that they see this file\n")
        return self.marker

    def __exit__(self, *exc_info: object) -> None:
        if self.marker:
            try:
                os.unlink(self.marker)
            except OSError:
                pass
        if self.fd is not None:
            os.ftruncate(self.fd, 0)
            os.close(self.fd)  # releases the lock
            self.fd = None
