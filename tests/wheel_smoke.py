"""Run by `make wheel-check` inside a fresh virtual environment holding only the repaired wheel:
the package imports from that environment, its extension loads the libraries the wheel carries,
and a store works end to end."""

import subprocess
import sys
import tempfile
from pathlib import Path

import ombrel_store
from ombrel_store import Store, _native

extension = Path(_native.__file__)
assert Path(sys.prefix) in extension.parents, f"imported from {extension}, not the environment"
libraries = subprocess.run(["ldd", str(extension)], capture_output=True, text=True, check=True).stdout
# libcrypto is grafted into ombrel_store.libs; zlib is linked into the extension itself.
crypto = next((line for line in libraries.splitlines() if "libcrypto" in line), "")
assert "ombrel_store.libs" in crypto, f"libcrypto is not the wheel's own: {crypto!r}"
assert "libz" not in libraries, f"zlib is loaded from the system:\n{libraries}"

with tempfile.TemporaryDirectory() as directory:
    path = Path(directory) / "smoke.omb"
    with Store.open(path, durability="strict") as store:
        store.put(b"k", b"v")
        job = store.submit_job(b"h", b"p", 1)
        claimed = store.claim_job(2, 1000)
        store.complete_job(job, claimed["lease_generation"], 3)
        object_id = store.put_object(b"content")
    with Store.open(path) as store:
        assert store.get(b"k") == b"v" and store.get_job(job)["state"] == "completed"
        assert store.verify_object(object_id)
    report = Store.verify(path)
    assert not report.has_torn_tail and report.keys > 0
print(f"ombrel_store {ombrel_store.__version__} from the wheel: {extension.name} works")
