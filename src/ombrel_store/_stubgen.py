"""Stubs of the faces that mirror Store and Transaction, generated from the native stubs.

The native stubs (_native.pyi) are the one source of every method's name, parameters, result
type and doc (tests check them against the extension itself). The faces that offer the same
methods another way (the asyncio face, aio.pyi; the store server's client, client.pyi) have
their stubs written from them here, so the two cannot drift: a test regenerates each and
compares it with the file shipped.

    python -m ombrel_store._stubgen          # rewrites the generated stubs in place
"""

from __future__ import annotations

import ast
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
NATIVE_STUBS = HERE / "_native.pyi"

# Store members that the async face defines itself (or leaves out).
_ASYNC_STORE_OWN = {"open", "close", "transaction", "__enter__", "__exit__", "busy_timeout"}
_ASYNC_TRANSACTION_OWN = {"__enter__", "__exit__"}


def _source() -> str:
    return NATIVE_STUBS.read_text()


def _class(tree: ast.Module, name: str) -> ast.ClassDef:
    return next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == name)


def _private_names(tree: ast.Module) -> list[str]:
    """Module-level names of the native stubs that start with one underscore (types, aliases)."""
    names = []
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            names.append(node.name)
        elif isinstance(node, ast.Assign):
            names.extend(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.append(node.target.id)
    return sorted(n for n in names if n.startswith("_") and not n.startswith("__"))


def methods(class_name: str, skip=frozenset()) -> list[tuple[str, str, bool]]:
    """(name, source text of its def, is_static) of each method of a native stub class, in file order."""
    text = _source()
    tree = ast.parse(text)
    out = []
    for node in _class(tree, class_name).body:
        if isinstance(node, ast.FunctionDef) and node.name not in skip:
            static = any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in node.decorator_list)
            out.append((node.name, ast.get_source_segment(text, node, padded=True) or "", static))
    return out


def _async_def(source: str) -> str:
    """A method's stub as an async def: same parameters, result and doc."""
    lines = source.splitlines()
    first = next(i for i, line in enumerate(lines) if line.lstrip().startswith("def "))
    lines[first] = lines[first].replace("def ", "async def ", 1)
    return "\n".join(lines)


def _preamble(module: str, imports: list[str], native_names: str, exported: list[str]) -> list[str]:
    """A generated stub's docstring, imports (the native stubs' private types among them) and __all__."""
    private = _private_names(ast.parse(_source()))
    return [
        f'"""Type stubs for ombrel_store.{module}, generated from _native.pyi by ombrel_store._stubgen; do not edit."""',
        "",
        "import os",
        "from collections.abc import Callable, Sequence",
        "from types import TracebackType",
        *imports,
        "",
        f"from ._native import {native_names}",
        "from .results import *",
        "from ._native import (",
        *[f"    {name}," for name in private],
        ")",
        "",
        f"__all__ = [{', '.join(f'{name!r}' for name in exported)}]".replace("'", '"'),
        "",
    ]


def aio_stubs() -> str:
    out = [
        *_preamble("aio", ["from collections.abc import Generator", "from typing import Any, Literal"],
                   "ReadOnlyStore, Store, Transaction, VerificationReport", ["AsyncStore", "AsyncTransaction"]),
        "class AsyncStore:",
        '    """An open store whose methods are coroutines run on a thread of its own."""',
        "",
        "    busy_timeout: float",
        "",
        "    def __init__(self, native: Store, thread: Any) -> None: ...",
        "    @classmethod",
        "    async def open(",
        "        cls,",
        "        path: str | os.PathLike[str],",
        "        *,",
        '        durability: _Durability | str = "data",',
        "        repair_torn_tail: bool = True,",
        "        max_bytes: int | None = None,",
        "        namespace_max_bytes: int | None = None,",
        "    ) -> AsyncStore: ...",
        "    async def close(self) -> None: ...",
        "    def transaction(self) -> AsyncTransaction: ...",
        "    async def __aenter__(self) -> AsyncStore: ...",
        "    async def __aexit__(",
        "        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None",
        "    ) -> bool: ...",
    ]
    for name, source, static in methods("Store", _ASYNC_STORE_OWN):
        if static:
            out.append("    @staticmethod")
        out.append(_async_def(source))
    out += [
        "",
        "class AsyncTransaction:",
        '    """A Transaction whose methods are coroutines on its store\'s thread."""',
        "",
        "    def __init__(self, store: AsyncStore) -> None: ...",
        "    def __await__(self) -> Generator[Any, None, AsyncTransaction]: ...",
        "    async def __aenter__(self) -> AsyncTransaction: ...",
        "    async def __aexit__(",
        "        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None",
        "    ) -> bool: ...",
    ]
    for name, source, static in methods("Transaction", _ASYNC_TRANSACTION_OWN):
        out.append(_async_def(source))
    return "\n".join(out) + "\n"


# Store members that the client defines itself (or leaves out: it is made by connect()).
_CLIENT_STORE_OWN = {"open", "close", "transaction", "__enter__", "__exit__"}
_CLIENT_TRANSACTION_OWN = {"__enter__"}

_EXIT = [
    "    def __exit__(",
    "        self,",
    "        _exc_type: type[BaseException] | None,",
    "        _exc_value: BaseException | None,",
    "        _traceback: TracebackType | None,",
    "    ) -> Literal[False]: ...",
]


def client_stubs() -> str:
    out = [
        *_preamble("client", ["from typing import Any, Literal"],
                   "OmbrelStoreError, ReadOnlyStore, Store, Transaction, VerificationReport",
                   ["Client", "ClientTransaction", "TransactionConflictError", "connect"]),
        "class TransactionConflictError(OmbrelStoreError):",
        '    """A client transaction read something that changed before it committed; nothing was written."""',
        "",
        "def connect(socket_path: str | os.PathLike[str]) -> Client:",
        '    """Connect to the store server listening on ``socket_path`` and return a Client."""',
        "",
        "class Client:",
        '    """A connection to a store server with the methods of ``Store``; made by ``connect()``."""',
        "",
        "    def __init__(self, socket_path: str | os.PathLike[str]) -> None: ...",
        "    @property",
        "    def socket_path(self) -> str: ...",
        "    def close(self) -> None:",
        '        """Close this client\'s connections (the server and its store go on)."""',
        "    def transaction(self) -> ClientTransaction:",
        '        """A transaction staged in this client and sent to the server as one request at commit."""',
        "    def __enter__(self) -> Client: ...",
        *_EXIT,
    ]
    for name, source, static in methods("Store", _CLIENT_STORE_OWN):
        if static:
            out.append("    @staticmethod")
        out.append(source)
    out += [
        "",
        "class ClientTransaction:",
        '    """A transaction of a ``Client``: staged in the client, sent as one request at commit."""',
        "",
        "    def __init__(self, client: Client) -> None: ...",
        "    def __enter__(self) -> ClientTransaction: ...",
    ]
    for name, source, static in methods("Transaction", _CLIENT_TRANSACTION_OWN):
        out.append(source)
    return "\n".join(out) + "\n"


GENERATED = {"aio.pyi": aio_stubs, "client.pyi": client_stubs}


def main(argv: list[str]) -> int:
    for file_name, make in GENERATED.items():
        (HERE / file_name).write_text(make())
        print(f"wrote {HERE / file_name}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
