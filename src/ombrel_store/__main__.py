"""`python -m ombrel_store COMMAND ...`: the package's commands (for now migrate-to-postgres)."""

from __future__ import annotations

import sys

USAGE = "usage: python -m ombrel_store {serve,migrate-to-postgres} ..."


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["serve"]:
        from .server import main as serve_main

        return serve_main(argv[1:])
    if argv[:1] == ["migrate-to-postgres"]:
        from .postgres.migrate import main as migrate_main

        return migrate_main(argv[1:])
    print(USAGE, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
