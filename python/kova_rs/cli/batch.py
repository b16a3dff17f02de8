"""``kova batch``: every recording under a directory (the runner lives in kova_rs.batch)."""

from __future__ import annotations

from typing import Any


def add_parser(sub: Any) -> None:
    from kova_rs import batch

    batch.add_parser(sub)
