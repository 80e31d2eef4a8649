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


def _results_of_a_store(store):
    """(TypedDict name, a dict the store returned) for the shapes one small store can show."""
    job = store.submit_job(b"h", b"p", 1)
    workflow = store.create_workflow(b"t", b"s", b"", 1)
    schedule = store.create_schedule(b"h", b"p", 5)
    store.emit_outbox_event(b"topic", b"p", 1)
    store.push_queue(b"q", b"m")
    store.put(b"k", b"v")
    object_id = store.put_object(b"content")
    tx = store.transaction()
    tx.enqueue_job(b"h", b"p", 1)
    tx.push_queue(b"q", b"m")
    tx.append_stream(b"s", b"e")
    tx.emit_event(b"t", b"p", 1)
    tx.put_object(b"c")
    tx.unlink_object(b"n", b"x")
    tx.create_workflow(b"t", b"s", b"", 1)
    tx.signal_workflow(workflow, b"go", b"", 2)
    tx.cancel_workflow(workflow, b"why", 3)
    operation_results = list(tx.commit_with_results().values())
    return [
        ("ChangeDict", store.changes_after()[0]),
        ("JobDict", store.get_job(job)),
        ("JobStatsDict", store.job_stats()),
        ("WorkflowDict", store.get_workflow(workflow)),
        ("ScheduleDict", store.get_schedule(schedule)),
        ("OutboxEventDict", store.outbox_events_after()[0]),
        ("ClaimedMessageDict", store.claim_queue(b"q", 1, 1000)),
        ("ObjectInfoDict", store.object_info(object_id)),
        ("StorageDict", store.storage_stats()),
        ("HealthDict", store.health_report()),
    ] + [("OperationResult", result) for result in operation_results]


def test_result_shapes_name_the_keys_the_store_returns(tmp_path):
    """ombrel_store.results describes each dict the store returns: the same keys, in order."""
    import typing

    from ombrel_store import results

    with ombrel_store.Store.open(tmp_path / "s.omb") as store:
        for name, returned in _results_of_a_store(store):
            shape = getattr(results, name)
            if name == "OperationResult":
                shape = next(s for s in typing.get_args(shape)
                             if returned["kind"] in typing.get_args(typing.get_type_hints(s)["kind"]))
            declared = list(shape.__annotations__)
            if shape.__total__:
                assert list(returned) == declared, name
            else:
                assert set(returned) <= set(declared), name
