"""The type stubs shipped in the package describe exactly the methods the module has:
the same names, parameters, kinds and defaults, and every method is documented."""

import ast
import inspect
from pathlib import Path

import pytest

import ombrel_store
from ombrel_store import _native

STUBS = ast.parse((Path(ombrel_store.__file__).parent / "_native.pyi").read_text())
CLASSES = ["Store", "Transaction", "VerificationReport", "ReadOnlyStore"]


def stub_class(name):
    return next(node for node in STUBS.body if isinstance(node, ast.ClassDef) and node.name == name)


def stub_methods(name):
    return {node.name: node for node in stub_class(name).body
            if isinstance(node, ast.FunctionDef)
            and not any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)}


def runtime_methods(name):
    cls = getattr(_native, name)
    return {attr: getattr(cls, attr) for attr in dir(cls)
            if (not attr.startswith("_") or attr in ("__enter__", "__exit__"))
            and callable(getattr(cls, attr)) and not isinstance(getattr(cls, attr), type)}


def stub_parameters(node):
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + [ast.unparse(d) for d in args.defaults]
    out = [(a.arg, "positional", d) for a, d in zip(positional, defaults)]
    out += [(a.arg, "keyword", None if d is None else ast.unparse(d))
            for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return [p for p in out if p[0] != "self"]


def runtime_parameters(method):
    out = []
    for p in inspect.signature(method).parameters.values():
        if p.name == "self":
            continue
        kind = "keyword" if p.kind is p.KEYWORD_ONLY else "positional"
        # A published default of `...` (an optional argument with no Python value) reads back as Ellipsis.
        default = None if p.default is p.empty else "..." if p.default is Ellipsis else repr(p.default)
        out.append((p.name, kind, default))
    return out


@pytest.mark.parametrize("name", CLASSES)
def test_every_method_has_a_stub_and_no_stub_is_stale(name):
    assert sorted(stub_methods(name)) == sorted(runtime_methods(name))


@pytest.mark.parametrize("cls, method", [(c, m) for c in CLASSES for m in sorted(runtime_methods(c))])
def test_stub_signature_matches_and_method_is_documented(cls, method):
    runtime = runtime_methods(cls)[method]
    if method in ("__enter__", "__exit__"):
        return
    assert [p[:2] for p in stub_parameters(stub_methods(cls)[method])] == [p[:2] for p in runtime_parameters(runtime)]
    stub_defaults = [p[2] for p in stub_parameters(stub_methods(cls)[method])]
    runtime_defaults = [p[2] for p in runtime_parameters(runtime)]
    assert stub_defaults == runtime_defaults
    assert len((runtime.__doc__ or "").strip()) > 20, "the method needs a real docstring"
