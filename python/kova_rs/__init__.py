"""kova: retargets human hand motion onto robot hands."""

from kova_rs._native import (
    PanicException,
    RetargetingConfig,
    SeqRetargeting,
    __version__,
    load_from_file,
)

__all__ = [
    "PanicException",
    "RetargetingConfig",
    "SeqRetargeting",
    "__version__",
    "load_from_file",
]
