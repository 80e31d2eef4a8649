"""The module's contents and its exception classes."""

import pytest

import ombrel_store
from expect import raises_exactly
from ombrel_store import _native

EXCEPTIONS = ["OmbrelStoreError", "StoreClosedError", "StoreBusyError", "AlreadyOpenError", "ReservedKeyError",
              "TransactionFinishedError", "CorruptionError", "IoError", "DiskFullError", "NamespaceQuotaError"]


def test_version_and_module_attribute_order():
    assert _native.__version__ == ombrel_store.__version__
    order = ["Store", "Transaction", "VerificationReport", *EXCEPTIONS, "__version__"]
    present = [name for name in vars(_native) if name in order]
    assert set(order) - set(present) <= {"Transaction"}  # Transaction is not part of every build
    assert present == [name for name in order if name in present]


@pytest.mark.parametrize("name", EXCEPTIONS)
def test_exception_class(name):
    cls = getattr(_native, name)
    # OmbrelStoreError derives directly from Exception, the nine others directly from it.
    assert cls.__bases__ == ((Exception,) if name == "OmbrelStoreError" else (_native.OmbrelStoreError,))
    assert (cls.__module__, cls.__name__, cls.__doc__) == ("_native", name, None)
    assert getattr(ombrel_store, name) is cls


def test_raised_exception_carries_only_the_bare_message(store):
    message = "keys beginning with the Ombrel Store internal namespace are reserved"
    with raises_exactly(_native.ReservedKeyError, message) as info:
        store.put(b"\xffomb:x", b"")
    assert not [a for a in vars(info.value) if not a.startswith("__")]
