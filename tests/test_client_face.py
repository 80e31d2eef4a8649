"""The server's client offers exactly the methods of Store and Transaction: the same names
and signatures at run time and in its stubs, which are generated from the native ones."""

import ast
import inspect

from ombrel_store import _native, _stubgen, _wire
from ombrel_store.client import Client, ClientTransaction


def stub_classes(file_name):
    tree = ast.parse((_stubgen.HERE / file_name).read_text())
    return {node.name: {f.name: f for f in node.body if isinstance(f, ast.FunctionDef)}
            for node in tree.body if isinstance(node, ast.ClassDef)}


def parameters(function):
    return ast.unparse(function.args)


def test_the_shipped_client_stubs_are_generated_from_the_native_ones():
    assert (_stubgen.HERE / "client.pyi").read_text() == _stubgen.client_stubs()


def test_every_method_has_the_native_signature():
    for native, face, left_out in ((_native.Store, Client, {"open"}), (_native.Transaction, ClientTransaction, set())):
        names = set(_wire.public_methods(native)) - left_out
        assert names <= set(dir(face))
        for name in names:
            assert inspect.signature(getattr(face, name)) == inspect.signature(getattr(native, name)), name
    assert isinstance(inspect.getattr_static(Client, "verify"), staticmethod)


def test_the_stubs_give_the_native_parameters():
    native, client = stub_classes("_native.pyi"), stub_classes("client.pyi")
    for native_class, face_class, left_out in (("Store", "Client", {"open"}), ("Transaction", "ClientTransaction", set())):
        expected = {name: parameters(f) for name, f in native[native_class].items() if name not in left_out}
        assert {name: parameters(f) for name, f in client[face_class].items() if name in expected} == expected


def test_staging_methods_return_positions_as_the_stubs_say():
    transaction = stub_classes("_native.pyi")["Transaction"]
    for name in set(_wire.public_methods(_native.Transaction)) - _wire.TRANSACTION_OWN - set(_wire.TRANSACTION_READS):
        returns = ast.unparse(transaction[name].returns)
        assert returns == ("None" if name in _wire.STAGED_WITHOUT_POSITION else "int"), name
