"""The store server and its client: many processes, one store. Calls and transactions through
the client behave as on a Store; every acknowledged commit survives the server's stop or
death; clients reconnect after a restart; a killed client's leases run out for the others;
hostile frames and peers change nothing."""

import json
import os
import socket
import stat
import struct
import subprocess
import sys
import threading
from pathlib import Path

import msgpack
import pytest

import ombrel_store
from ombrel_store import _native, _wire
from serving import ServerProcess, child_environment, run_as, short_directory

LOST = "connection to the store server was lost; the call may or may not have taken effect"
WORKLOAD = Path(__file__).parent / "server_workload.py"


def remove_tree(directory):
    for path in sorted(directory.rglob("*"), reverse=True):
        path.unlink() if not path.is_dir() else path.rmdir()
    directory.rmdir()


@pytest.fixture
def place():
    directory = short_directory()
    yield directory
    remove_tree(directory)


@pytest.fixture(scope="module")
def server():
    """One server for the tests that only add keys of their own."""
    directory = short_directory()
    with ServerProcess(directory / "s.omb") as running:
        yield running
    remove_tree(directory)


@pytest.fixture
def fresh_server(place):
    with ServerProcess(place / "s.omb") as running:
        yield running


@pytest.fixture
def client(server):
    with ombrel_store.connect(server.socket_path) as connected:
        yield connected


def outcome(call):
    try:
        return ("ok", call())
    except Exception as error:
        return (type(error), error.args)


CALLS = [
    ("put", (b"k", b"v"), {}),
    ("get", (b"k",), {}),
    ("put", (b"\xffomb:x", b"v"), {}),
    ("put", (bytearray(b"k"), b"v"), {}),
    ("get", ("k",), {}),
    ("get", (), {}),
    ("get", (b"k", b"extra"), {}),
    ("scan_prefix", (b"",), {}),
    ("push_queue", (b"q", b"m"), {"priority": 2**40}),
    ("push_queue", (b"q", b"m"), {"available_at_ms": 3, "priority": -1}),
    ("queue_stats", (b"q",), {"now_ms": 10}),
    ("claim_queue", (b"q", 10, 2**64), {}),
    ("get_job", (b"short",), {}),
    ("claim_job", (1, 2), {"handlers": "text"}),
    ("create_collection", (b"c",), {"codec": bytearray(b"json")}),
    ("upsert_record", (b"c", b"p", b"v"), {"indexes": [(b"i", [1, 2, 255])]}),
    ("get_record", (b"c", b"p"), {}),
    ("append_stream", (b"s", b"e"), {}),
    ("read_stream", (b"s",), {"limit": 10}),
    ("trim_stream", (b"s", 1), {"force": "yes"}),
    ("put_object_with_metadata", (b"data", {"a": "1", "b": "2"}), {}),
    ("changes_after", (None, 2), {}),
    ("bogus_method", (), {}),
]


def test_calls_return_and_raise_as_on_a_store(fresh_server, place):
    client = ombrel_store.connect(fresh_server.socket_path)
    local = _native.Store.open(str(place / "local.omb"))
    try:
        for name, args, kwargs in CALLS:
            if not hasattr(local, name):
                with pytest.raises(AttributeError):
                    getattr(client, name)
                continue
            mine, theirs = outcome(lambda: getattr(local, name)(*args, **kwargs)), \
                outcome(lambda: getattr(client, name)(*args, **kwargs))
            assert mine == theirs, name
            if mine[0] == "ok" and isinstance(mine[1], (list, tuple, dict)):
                assert repr(mine[1]) == repr(theirs[1]), name  # tuples stay tuples, key order kept
    finally:
        local.close()
        client.close()


def test_static_methods_run_in_the_caller(server, client):
    with pytest.raises(_native.AlreadyOpenError):
        client.verify(server.store_path)  # the server holds it
    assert type(client.open_read_only(server.store_path)) is _native.ReadOnlyStore


def test_paths_are_the_callers(client, place, monkeypatch):
    monkeypatch.chdir(place)
    client.put(b"k", b"v")
    assert client.backup_to("copy.omb") > 0
    assert client.snapshot_to(Path("snap.omb"))["destination"] == place / "snap.omb"
    assert _native.Store.verify(place / "copy.omb").keys >= 1


def test_transactions_read_their_writes_and_commit_once(client, place):
    client.put(b"a", b"1")
    client.put(b"b", b"2")
    with client.transaction() as tx:
        assert tx.put(b"c", b"3") is None
        tx.delete(b"a")
        assert tx.push_queue(b"q", b"m") == 2
        assert (tx.get(b"a"), tx.get(b"b"), tx.get(b"c"), tx.contains(b"a")) == (None, b"2", b"3", False)
        assert tx.scan_prefix(b"") [:2] == [(b"b", b"2"), (b"c", b"3")]
        assert client.get(b"c") is None  # nothing reaches the store before commit
    assert (client.get(b"a"), client.get(b"c")) == (None, b"3")
    local = _native.Store.open(str(place / "local.omb"))
    try:
        results = []
        for store in (local, client):
            tx = store.transaction()
            tx.put(b"x", b"1")
            tx.enqueue_job(b"h", b"p", 0)
            tx.append_stream(b"s", b"e")
            results.append({position: sorted(result) for position, result in tx.commit_with_results().items()})
        assert results[0] == results[1]
    finally:
        local.close()


def test_a_failing_transaction_writes_nothing_and_finishes(client):
    tx = client.transaction()
    tx.put(b"fine", b"1")
    tx.put(b"\xffomb:x", b"1")
    with pytest.raises(_native.ReservedKeyError):
        tx.commit()
    assert client.get(b"fine") is None
    for finished in (tx.commit, tx.rollback, lambda: tx.get(b"k"), lambda: tx.put(b"k", b"v")):
        with pytest.raises(_native.TransactionFinishedError, match="transaction is finished"):
            finished()
    with pytest.raises(ValueError):
        with client.transaction() as tx:
            tx.put(b"never", b"1")
            raise ValueError
    assert client.get(b"never") is None
    tx = client.transaction()
    with pytest.raises(TypeError):
        tx.put(b"k")
    tx.upsert_record(b"no such collection", b"p", b"v")
    with pytest.raises(_native.OmbrelStoreError):
        tx.commit()


@pytest.mark.parametrize("read", [
    lambda tx: tx.get(b"k"), lambda tx: tx.contains(b"absent-then-present"), lambda tx: tx.scan_prefix(b"k"),
])
def test_a_transaction_whose_reads_changed_conflicts(server, read):
    first, second = ombrel_store.connect(server.socket_path), ombrel_store.connect(server.socket_path)
    first.put(b"k", b"1")
    first.delete(b"absent-then-present")
    first.delete(b"written")
    tx = first.transaction()
    read(tx)
    tx.put(b"written", b"1")
    second.put(b"k", b"2")
    second.put(b"absent-then-present", b"1")
    with pytest.raises(ombrel_store.TransactionConflictError):
        tx.commit()
    assert first.get(b"written") is None
    # Unchanged reads commit.
    with first.transaction() as tx:
        read(tx)
        tx.put(b"written", b"2")
    assert first.get(b"written") == b"2"


def test_threads_share_a_client(client):
    def work(n):
        for i in range(50):
            client.put(f"{n}-{i}".encode(), b"v")

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(client.scan_prefix(b"")) >= 400
    assert all(client.get(f"{n}-49".encode()) == b"v" for n in range(8))


def test_a_forked_child_makes_its_own_connection(client):
    client.put(b"parent", b"1")
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            client.put(b"child", b"1")
            code = 0 if client.get(b"parent") == b"1" else 1
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert client.get(b"child") == b"1"


def test_closed_client_refuses_calls(server):
    client = ombrel_store.connect(server.socket_path)
    client.close()
    client.close()
    with pytest.raises(_native.StoreClosedError, match="store is closed"):
        client.get(b"k")
    with pytest.raises(_native.IoError, match="cannot connect"):
        ombrel_store.connect(server.socket_path.parent / "nobody.sock")


def test_eight_processes_lose_and_duplicate_nothing(place):
    rounds = 12
    with ServerProcess(place / "s.omb") as server:
        with ombrel_store.connect(server.socket_path) as client:
            jobs = {client.submit_job(b"task", b"p", 0).hex() for _ in range(8 * rounds)}
        workers = [subprocess.Popen([sys.executable, str(WORKLOAD), str(server.socket_path), str(w), str(rounds)],
                                    stdout=subprocess.PIPE, text=True, env=child_environment()) for w in range(8)]
        events = [json.loads(line) for worker in workers for line in worker.communicate(timeout=120)[0].splitlines()]
        assert all(worker.returncode == 0 for worker in workers)
        assert server.stop() == 0
    assert not server.socket_path.exists()
    by_kind = {kind: [e for e in events if e["kind"] == kind] for kind in ("put", "tx", "acked", "claimed", "completed")}
    with _native.Store.open(str(place / "s.omb")) as store:
        assert all(store.get(e["key"].encode()) == b"plain" for e in by_kind["put"])
        assert all(store.get(e["key"].encode() + b"-tx") == b"tx" for e in by_kind["tx"])
        logged = [payload.decode() for _, payload in store.read_stream(b"log", 0, 10_000)]
        assert sorted(logged) == sorted(e["key"] for e in by_kind["tx"])
        acked = [e["payload"] for e in by_kind["acked"]]
        assert len(acked) == len(set(acked)) and set(acked) <= set(logged)
        assert store.queue_stats(b"work")["total"] == len(logged) - len(acked)
        claimed = [e["job"] for e in by_kind["claimed"]]
        assert len(claimed) == len(set(claimed)) and set(claimed) <= jobs
        completed = {job["id"].hex() for job in store.list_jobs() if job["state"] == "completed"}
        assert completed == {e["job"] for e in by_kind["completed"]} == set(claimed)


def test_a_killed_clients_leases_run_out_for_the_others(server):
    with ombrel_store.connect(server.socket_path) as client:
        for _ in range(20):
            client.submit_job(b"task", b"p", 0)
        # A worker that claims and completes until it is killed, mid-call or between calls.
        worker = subprocess.Popen([sys.executable, str(WORKLOAD), str(server.socket_path), "0", "1000"],
                                  stdout=subprocess.PIPE, text=True, env=child_environment())
        for line in worker.stdout:
            if json.loads(line)["kind"] == "claimed":
                break
        worker.kill()
        worker.wait()
        worker.stdout.close()
        # Later, its leases have run out: another worker takes what it left.
        later = 10_000_000
        while (job := client.claim_job(later, 1000, handlers=[b"task"])) is not None:
            client.complete_job(job["id"], job["lease_generation"], later)
        assert {job["state"] for job in client.list_jobs() if job["handler"] == b"task"} == {"completed"}


def test_the_servers_death_loses_no_acknowledged_commit(place):
    path = place / "s.omb"
    acknowledged = []
    with ServerProcess(path) as server:
        client = ombrel_store.connect(server.socket_path)

        def writer():
            n = 0
            try:
                while True:
                    client.put(b"%d" % n, b"v")
                    acknowledged.append(n)
                    n += 1
            except _native.IoError as error:
                acknowledged.append(str(error))

        thread = threading.Thread(target=writer)
        thread.start()
        while len(acknowledged) < 50:
            threading.Event().wait(0.01)
        server.kill()
        thread.join()
    assert acknowledged[-1] in (LOST, f"cannot connect to the store server at {server.socket_path}: "
                                      "[Errno 111] Connection refused")
    written = acknowledged[:-1]
    with pytest.raises(_native.IoError, match="cannot connect"):
        client.get(b"0")
    with ServerProcess(path) as restarted:  # over the stale socket
        assert all(client.get(b"%d" % n) == b"v" for n in written)  # the same client, reconnected
        assert restarted.stop() == 0


def test_a_held_store_refuses_to_start(place):
    path = place / "s.omb"
    with _native.Store.open(str(path)):
        server = ServerProcess(path)
        assert not server.ready
        assert server.process.wait(60) == 1
        assert server.stderr().strip() == "AlreadyOpenError: store is already open by another writer"
    assert not server.socket_path.exists()


def test_the_socket_is_private(server, place):
    assert stat.S_IMODE(os.stat(server.socket_path).st_mode) == 0o600
    with ServerProcess(place / "t.omb", "--socket", str(place / "new" / "t.sock")) as other:
        assert stat.S_IMODE(os.stat(other.socket_path.parent).st_mode) == 0o700


def test_refuses_a_directory_others_may_write(place):
    shared = place / "shared"
    shared.mkdir()
    shared.chmod(0o777)
    server = ServerProcess(place / "s.omb", "--socket", str(shared / "s.sock"))
    assert not server.ready and server.process.wait(60) == 1
    assert "other users may write there" in server.stderr()
    shared.chmod(0o1777)  # sticky: nobody else may remove or replace our socket
    with ServerProcess(place / "s.omb", "--socket", str(shared / "s.sock")) as sticky:
        assert sticky.ready


def raw_connection(socket_path):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(str(socket_path))
    sock.settimeout(30)
    return sock


def read_frame(sock):
    data = b""
    while True:
        try:
            return _wire.FrameReader(_wire.LARGEST_FRAME).feed(data)[0]
        except IndexError:
            chunk = sock.recv(65536)
            if not chunk:
                return None
            data += chunk


HOSTILE = [
    pytest.param(struct.pack(">I", 100) + b"\x93", id="truncated"),
    pytest.param(struct.pack(">I", (64 << 20) + 1), id="oversized"),
    pytest.param(struct.pack(">I", 3) + b"\xc1\xc1\xc1", id="malformed"),
    pytest.param(_wire.encode_frame(["call", "put", (b"k", b"v"), {}]), id="list not tuple"),
    pytest.param(_wire.encode_frame(("call", 5, (), {})), id="name not str"),
    pytest.param(_wire.encode_frame(("call", "put", [b"k", b"v"], {})), id="args not tuple"),
    pytest.param(_wire.encode_frame(("call", "put", (b"k", b"v"), {1: 2})), id="keyword not str"),
    pytest.param(_wire.encode_frame(("tx", ((b"get", b"k", b"d"),), (), False)), id="bad read"),
    pytest.param(_wire.encode_frame(("tx", (), (("put", (b"k", b"v")),), False)), id="bad operation"),
    pytest.param(_wire.encode_frame(("shutdown",)), id="unknown message"),
    pytest.param(struct.pack(">I", 2) + msgpack.packb(msgpack.ExtType(5, b"")), id="unknown extension"),
]


@pytest.mark.parametrize("frame", HOSTILE)
def test_hostile_frames_close_their_connection_and_touch_nothing(server, client, frame):
    client.put(b"k", b"v")
    before = server.store_path.read_bytes()
    sock = raw_connection(server.socket_path)
    assert read_frame(sock)[0] == "ombrel-store"
    sock.sendall(frame)
    if frame.startswith(struct.pack(">I", 100)):
        sock.shutdown(socket.SHUT_WR)  # the rest never comes
    assert read_frame(sock) is None  # closed without a reply
    sock.close()
    assert server.store_path.read_bytes() == before
    assert client.get(b"k") == b"v"


@pytest.mark.parametrize("message, error", [
    (("call", "close", (), {}), "the store server has no method 'close'"),
    (("call", "transaction", (), {}), "the store server has no method 'transaction'"),
    (("call", "verify", ("/",), {}), "the store server has no method 'verify'"),
    (("tx", (), (("commit", (), {}),), False), "a transaction has no method 'commit'"),
])
def test_lifecycle_and_static_methods_are_not_served(server, message, error):
    sock = raw_connection(server.socket_path)
    read_frame(sock)
    sock.sendall(_wire.encode_frame(message))
    assert read_frame(sock) == (False, "OmbrelStoreError", (error,))
    sock.close()


def connects_as_other_user(socket_path):
    def attempt():
        try:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            sock.connect(str(socket_path))
        except PermissionError:
            return 2
        sock.settimeout(30)
        return 0 if sock.recv(4) else 1  # 1: closed without a greeting

    return attempt


needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="switching to another user needs root")


@needs_root
def test_a_peer_of_another_user_is_refused(fresh_server):
    server = fresh_server
    nobody = 65534
    assert run_as(nobody, nobody, connects_as_other_user(server.socket_path)) == 2  # the socket's mode
    os.chmod(server.socket_path.parent, 0o711)
    os.chmod(server.socket_path, 0o666)  # as if by mistake: the peer check still refuses
    assert run_as(nobody, nobody, connects_as_other_user(server.socket_path)) == 1


@needs_root
def test_an_allowed_group_is_served_but_may_not_name_files(place):
    place.chmod(0o711)
    with ServerProcess(place / "s.omb", "--allow-group", "nogroup") as server:
        assert stat.S_IMODE(os.stat(server.socket_path).st_mode) == 0o660

        def as_group_member():
            client = ombrel_store.connect(server.socket_path)
            client.put(b"from nobody", b"1")
            try:
                client.backup_to(str(place / "copy.omb"))
            except _native.OmbrelStoreError as error:
                return 0 if "only the server's own user" in str(error) else 3
            return 4

        assert run_as(65534, 65534, as_group_member) == 0
        with ombrel_store.connect(server.socket_path) as client:
            assert client.get(b"from nobody") == b"1"
    assert not (place / "copy.omb").exists()


def test_transaction_record_reads_and_acknowledgements_through_a_client(fresh_server):
    first, second = ombrel_store.connect(fresh_server.socket_path), ombrel_store.connect(fresh_server.socket_path)
    first.create_collection(b"results")
    first.upsert_record(b"results", b"old", b"1")
    job_id = first.submit_job(b"h", b"p", 0)
    generation = first.claim_job(0, 100)["lease_generation"]
    tx = first.transaction()
    tx.upsert_record(b"results", b"new", b"2")
    assert tx.get_record(b"results", b"new") == (b"new", b"2", [])
    assert tx.complete_job(job_id, generation, 5) == 1
    assert tx.get_job(job_id)["state"] == "leased"  # takes effect at commit
    assert tx.commit_with_results() == {}
    assert first.get_record(b"results", b"new") is not None and first.get_job(job_id)["state"] == "completed"
    # A record read that another client's commit changed makes the commit conflict.
    tx = first.transaction()
    tx.get_record(b"results", b"old")
    tx.put(b"written", b"1")
    second.upsert_record(b"results", b"old", b"changed")
    with pytest.raises(ombrel_store.TransactionConflictError):
        tx.commit()
    assert first.get(b"written") is None
