"""``python -m kova_rs``: the ``kova`` command line."""

from kova_rs.cli import main

raise SystemExit(main())
