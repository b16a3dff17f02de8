"""Running a function where permission bits apply: root ignores them, so under root the function
runs in a forked child that gave up root (user and group 65534); otherwise it runs here."""

from __future__ import annotations

import os
import pickle
import shutil
import tempfile
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

NOBODY = 65534


def as_unprivileged(function: Callable[..., Any], *args: Any) -> Any:
    """``function(*args)`` without root's privileges; its exception is raised here again."""
    if os.geteuid() != 0:
        return function(*args)
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: never returns into the test runner
        status = 1
        try:
            os.close(read_end)
            os.setgroups([])
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            try:
                answer = ("value", function(*args))
            except Exception as exc:
                answer = ("error", exc)
            with os.fdopen(write_end, "wb") as pipe:
                pickle.dump(answer, pipe)
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        data = pipe.read()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0 and data, "the unprivileged child failed"
    kind, value = pickle.loads(data)
    if kind == "error":
        raise value
    return value


@contextmanager
def shared_folder() -> Iterator[Path]:
    """A folder that the unprivileged user can reach and write (pytest's own are private)."""
    folder = Path(tempfile.mkdtemp(prefix="kova-test-"))
    folder.chmod(0o777)
    try:
        yield folder
    finally:
        shutil.rmtree(folder, ignore_errors=True)
