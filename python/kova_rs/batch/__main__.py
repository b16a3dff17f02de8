"""``python -m kova_rs.batch``: the same as ``kova batch``."""

import sys

from kova_rs.batch.command import main

if __name__ == "__main__":
    sys.exit(main())
