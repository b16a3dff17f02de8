"""Writing a file so that its name only ever holds a whole file.

The content goes to a temporary name in the same folder (so the rename cannot cross file
systems), is flushed to disk, then renamed over the final name. The temporary file is created
with mode 0666 and the umask applied, like any file the user's programs create.
"""

from __future__ import annotations

import os
import secrets
import stat
from collections.abc import Callable
from pathlib import Path
from typing import IO

from kova_rs.safe_read import describe_os_error, kind_of

PARTIAL_SUFFIX = ".partial"


def partial_prefix(final: Path) -> str:
    """Temporary files of ``final`` are named ``<prefix><random><PARTIAL_SUFFIX>``."""
    return "." + final.name + "."


def check_writable_target(path: Path) -> None:
    """Refuses a final name that exists and is not a regular file (a folder, a named pipe, a
    device): renaming over it would replace it, and writing into it could block."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return
    except OSError as err:
        raise ValueError(f"{path}: {describe_os_error(err)}") from None
    if not stat.S_ISREG(mode):
        raise ValueError(f"{path}: exists and is {kind_of(mode)}, not a file kova may replace")


def remove_stale_partials(final: Path) -> None:
    """Deletes temporary files that an interrupted writer of ``final`` left behind. Only safe
    while no other writer of ``final`` runs (the batch runner holds its output folder's lock)."""
    prefix = partial_prefix(final)
    try:
        for entry in os.scandir(final.parent):
            if entry.name.startswith(prefix) and entry.name.endswith(PARTIAL_SUFFIX):
                os.unlink(entry.path)
    except OSError:
        pass  # litter is harmless: it is never taken for a recording or an output


def _discard(path: Path) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def write_atomically(path: str | os.PathLike[str], write: Callable[[IO[bytes]], None]) -> Path:
    """Calls ``write(handle)`` on a temporary file beside ``path``, then renames it to ``path``.

    Raises ValueError ``PATH: PROBLEM`` when the file cannot be written; nothing is left at
    either name then.
    """
    final = Path(os.fspath(path))
    check_writable_target(final)
    temporary = final.parent / f"{partial_prefix(final)}{secrets.token_hex(6)}{PARTIAL_SUFFIX}"
    try:
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    except OSError as err:
        raise ValueError(f"{final}: cannot be written ({describe_os_error(err)})") from None
    try:
        with os.fdopen(fd, "wb") as handle:
            write(handle)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, final)
    except OSError as err:  # a full disk, a vanished folder, a quota
        _discard(temporary)
        raise ValueError(f"{final}: cannot be written ({describe_os_error(err)})") from None
    except BaseException:
        _discard(temporary)
        raise
    try:  # make the rename itself durable
        dir_fd = os.open(final.parent, os.O_RDONLY)
        try:
            os.fsync(dir_fd)
        finally:
            os.close(dir_fd)
    except OSError:
        pass
    return final
