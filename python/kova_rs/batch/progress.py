"""The batch's progress on the terminal: a tqdm bar with the ``progress`` extra, a plain counter
without it. Messages (failures) are printed above the progress line in both."""

from __future__ import annotations

from typing import Any, Protocol, TextIO

from kova_rs.extras import MissingExtra, require


class Progress(Protocol):
    def update(self, n: int = 1) -> None: ...
    def write(self, text: str) -> None: ...
    def close(self) -> None: ...


class PlainProgress:
    """A counter rewritten in place, on terminals only."""

    def __init__(self, total: int, stream: TextIO, enabled: bool):
        self.total, self.count, self.stream = total, 0, stream
        self.enabled = enabled and stream.isatty()

    def update(self, n: int = 1) -> None:
        self.count += n
        if self.enabled:
            self.stream.write(f"\rkova batch: {self.count}/{self.total} recordings")
            self.stream.flush()

    def write(self, text: str) -> None:
        if self.enabled:
            self.stream.write("\r\033[K")
        self.stream.write(text + "\n")
        self.stream.flush()

    def close(self) -> None:
        if self.enabled:
            self.stream.write("\n")
            self.stream.flush()


class TqdmProgress:
    """A tqdm bar (shown on terminals only); messages go to the bar's stream, above the bar."""

    def __init__(self, tqdm: Any, total: int, stream: TextIO, enabled: bool):
        self.stream = stream
        self.bar = tqdm(total=total, unit="rec", desc="kova batch", file=stream,
                        disable=None if enabled else True, dynamic_ncols=True)

    def update(self, n: int = 1) -> None:
        self.bar.update(n)

    def write(self, text: str) -> None:
        self.bar.write(text, file=self.stream)

    def close(self) -> None:
        self.bar.close()


def progress(total: int, stream: TextIO, enabled: bool) -> Progress:
    try:
        tqdm = require("tqdm").tqdm
    except MissingExtra:
        return PlainProgress(total, stream, enabled)
    return TqdmProgress(tqdm, total, stream, enabled)
