"""Reading files we did not write, within stated limits.

Every reader of user files in kova_rs (recordings, result files) opens them here, so that none
blocks on a named pipe or a device, none reads more than the limits below, and every failure is
a :class:`FileProblem` (a ValueError ``FILE: PROBLEM`` on one line).

- a file is opened without blocking and must be a regular file of at most ``MAX_FILE_BYTES``;
- a ``.npy`` array's header (dtype and shape) is checked before its data is read, and the data
  it promises must be in the file: memory never exceeds what the file holds;
- a ``.npz`` archive's directory is at most ``MAX_ZIP_DIRECTORY_BYTES``, and a member's expanded
  size is checked before it is decompressed;
- text is read line by line, each line at most ``MAX_LINE_BYTES``.
"""

from __future__ import annotations

import errno
import io
import math
import os
import stat
import struct
import zipfile
from collections.abc import Callable, Iterator
from typing import IO, cast

import numpy as np

MAX_FILE_BYTES = 2 * 1024**3
MAX_FRAMES = 1_000_000
MAX_LINE_BYTES = 64 * 1024
MAX_ZIP_DIRECTORY_BYTES = 1024**2
_CHUNK = 16 * 1024**2

# dtype kinds an array of ours may hold: booleans, integers, floats and text.
_KINDS = "biufU"


class FileProblem(ValueError):
    """A file that cannot be used; the message is ``FILE: PROBLEM``."""

    def __init__(self, path: object, problem: str):
        super().__init__(f"{path}: {problem}")
        self.path, self.problem = path, problem

    def __reduce__(self) -> tuple[type, tuple[object, str]]:  # pickles into worker results
        return type(self), (self.path, self.problem)


class ArrayProblem(ValueError):
    """What is wrong with one stored array (the caller adds the file's name)."""


def kind_of(mode: int) -> str:
    """What a file of this ``st_mode`` is, for messages."""
    for test, name in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a named pipe"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
                       (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return name
    return "a regular file" if stat.S_ISREG(mode) else "not a regular file"


def describe_os_error(err: OSError) -> str:
    """An OSError as the problem of a file, without repeating the file name."""
    if err.errno == errno.ENOENT:
        return "no such file"
    if err.errno == errno.ELOOP:
        return "is a loop of symbolic links"
    if err.errno in (errno.EACCES, errno.EPERM):
        return "permission denied"
    if err.errno == errno.ENOTDIR:
        return "a part of the path is not a folder"
    return err.strerror or str(err)


def open_regular(path: str | os.PathLike[str], what: str, limit: int | None = None) -> IO[bytes]:
    """``path`` opened for binary reading; it must be a regular file of at most ``limit`` bytes
    (default MAX_FILE_BYTES). ``what`` names what the file should be, for messages.

    Opened without blocking, so a named pipe without a writer or a device is refused at once
    instead of waiting (the descriptor is made blocking again for a regular file).
    """
    limit = MAX_FILE_BYTES if limit is None else limit
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_NOCTTY", 0))
    except OSError as err:
        raise FileProblem(path, describe_os_error(err)) from None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise FileProblem(path, f"is {kind_of(info.st_mode)}, not a {what}")
        if info.st_size > limit:
            raise FileProblem(path, f"is {info.st_size} bytes; {what}s are read up to "
                                    f"{limit} bytes")
        os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def file_size(handle: IO[bytes]) -> int:
    return os.fstat(handle.fileno()).st_size


# ------------------------------------------------------------------------------------ .npy


ShapeCheck = Callable[[tuple[int, ...], np.dtype], None]


def read_npy(stream: IO[bytes], available: int, check: ShapeCheck | None = None) -> np.ndarray:
    """One array in .npy format from ``stream``, of which ``available`` bytes remain.

    The header is read first; ``check(shape, dtype)`` may refuse it (raising ArrayProblem)
    before any data is read. Raises ArrayProblem for anything that is not a sound array.
    """
    start = stream.tell()
    try:
        version = np.lib.format.read_magic(stream)
    except ValueError:
        raise ArrayProblem("is not a readable .npy file (no .npy header)") from None
    try:
        if version == (1, 0):
            shape, fortran, dtype = np.lib.format.read_array_header_1_0(stream)
        elif version in ((2, 0), (3, 0)):  # 3.0 differs from 2.0 only in the text encoding
            shape, fortran, dtype = np.lib.format.read_array_header_2_0(stream)
        else:
            raise ArrayProblem(f"has an unknown .npy format version {version}")
    except ArrayProblem:
        raise
    except Exception as err:  # the header parser raises ValueError, SyntaxError, TokenError...
        text = " ".join(str(err).split())[:200] or type(err).__name__
        raise ArrayProblem(f"has a damaged .npy header ({text})") from None
    if dtype.hasobject or dtype.fields is not None or dtype.kind not in _KINDS:
        raise ArrayProblem(f"holds {dtype} data, which kova does not read")
    if check is not None:
        check(tuple(shape), dtype)
    count = math.prod(shape)
    size = count * dtype.itemsize
    left = available - (stream.tell() - start)
    if size > left:
        raise ArrayProblem(f"is cut short: its header promises {size} bytes of data, "
                           f"{max(left, 0)} follow")
    buffer = bytearray(size)
    view = memoryview(buffer)
    done = 0
    while done < size:
        got = cast(io.BufferedIOBase, stream).readinto(view[done:done + _CHUNK])
        if not got:
            raise ArrayProblem(f"is cut short: {done} of {size} bytes of data could be read")
        done += got
    array = np.frombuffer(buffer, dtype=dtype, count=count)
    return array.reshape(shape, order="F" if fortran else "C")


# ------------------------------------------------------------------------------------ .npz


def _check_zip_directory(handle: IO[bytes], path: object, size: int) -> None:
    """Refuses an archive whose directory is larger than MAX_ZIP_DIRECTORY_BYTES, before the
    zip reader loads it (it keeps an object per entry)."""
    tail_size = min(size, 22 + 0xFFFF)
    handle.seek(size - tail_size)
    tail = handle.read(tail_size)
    handle.seek(0)
    at = tail.rfind(b"PK\x05\x06")
    if at < 0 or len(tail) - at < 22:
        return  # not a zip archive at all: the zip reader says so
    entries, directory = struct.unpack("<HI", tail[at + 10:at + 16])
    zip64 = at >= 20 and tail[at - 20:at - 16] == b"PK\x06\x07"
    if zip64 or entries == 0xFFFF or directory > MAX_ZIP_DIRECTORY_BYTES:
        raise FileProblem(path, "holds too many arrays (its zip directory is larger than "
                                f"{MAX_ZIP_DIRECTORY_BYTES} bytes)")


def open_npz(handle: IO[bytes], path: object) -> zipfile.ZipFile:
    """The .npz archive read from ``handle`` (from :func:`open_regular`)."""
    _check_zip_directory(handle, path, file_size(handle))
    try:
        return zipfile.ZipFile(handle)
    except (zipfile.BadZipFile, OSError, ValueError, EOFError, NotImplementedError) as err:
        text = " ".join(str(err).split()) or type(err).__name__
        raise FileProblem(path, f"is not a readable .npz file ({text})") from None


def npz_names(archive: zipfile.ZipFile) -> list[str]:
    """The names of the arrays in an archive, as ``numpy.savez`` wrote them."""
    return [n[:-4] for n in archive.namelist() if n.endswith(".npy")]


def read_npz_array(archive: zipfile.ZipFile, name: str, path: object,
                   check: ShapeCheck | None = None, limit: int | None = None) -> np.ndarray:
    """The array ``name`` of an archive; its expanded size is checked against ``limit``
    (default MAX_FILE_BYTES) before it is decompressed."""
    limit = MAX_FILE_BYTES if limit is None else limit
    info = archive.getinfo(name + ".npy")
    if info.file_size > limit:
        raise FileProblem(path, f"array {name!r} expands to {info.file_size} bytes; arrays are "
                                f"read up to {limit} bytes")
    try:
        with archive.open(info) as member:
            return read_npy(member, info.file_size, check)
    except ArrayProblem as err:
        raise FileProblem(path, f"array {name!r} {err}") from None
    except (zipfile.BadZipFile, OSError, EOFError, ValueError, NotImplementedError) as err:
        text = " ".join(str(err).split()) or type(err).__name__
        raise FileProblem(path, f"array {name!r} is damaged ({text})") from None


# ------------------------------------------------------------------------------------ text


def read_lines(handle: IO[bytes], path: object) -> Iterator[tuple[int, str]]:
    """(line number, text) of each line of a UTF-8 file, a leading byte-order mark dropped."""
    number = total = 0
    while True:
        raw = handle.readline(MAX_LINE_BYTES + 1)
        if not raw:
            return
        number += 1
        total += len(raw)
        if len(raw) > MAX_LINE_BYTES and not raw.endswith(b"\n"):
            raise FileProblem(path, f"line {number} is longer than {MAX_LINE_BYTES} bytes")
        if total > MAX_FILE_BYTES:  # a file that grows while it is read
            raise FileProblem(path, f"is read up to {MAX_FILE_BYTES} bytes")
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            raise FileProblem(path, f"line {number} is not UTF-8 text") from None
        if number == 1:
            text = text.removeprefix("\ufeff")
        yield number, text
