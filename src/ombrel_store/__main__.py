"""``python -m ombrel_store COMMAND ...``: the ``ombrel-store`` command line (ombrel_store.cli)."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
