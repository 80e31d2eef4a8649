"""``python -m ombrel_store.server PATH ...``: the same command as ``python -m ombrel_store serve``."""

import sys

from . import main

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
