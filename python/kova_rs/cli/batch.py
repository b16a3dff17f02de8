"""``kova batch``: every recording under a directory (the runner is the kova_rs.batch package)."""

from __future__ import annotations

from typing import Any


def add_parser(sub: Any) -> None:
    from kova_rs.batch import add_parser as add_batch_parser

    add_batch_parser(sub)
