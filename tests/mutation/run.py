"""Mutation check: plants each fault of mutants.toml, one at a time, in a scratch
copy of the tree, rebuilds the extension there and runs the tests that should
notice. A mutant is caught when those tests fail; one that builds and passes
them is missed, which means the suite has lost (or never had) that power.

    python tests/mutation/run.py                 # every mutant
    python tests/mutation/run.py NAME ...        # some of them
    python tests/mutation/run.py --list

The working tree is never changed: the copy lives in build/mutants/tree and
builds in build/mutants/tree/build/dev. A built mutant's extension is kept,
keyed by the hash of the native sources it came from, so a rerun after
changing only tests rebuilds nothing. Exit status 1 when a mutant is missed
or does not build.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import time
import tomllib
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
MUTANTS = Path(__file__).with_name("mutants.toml")
SCRATCH = ROOT / "build" / "mutants"
TREE = SCRATCH / "tree"
# The same depth below the copy as build/dev below the root, so that a compiler
# cache with its base directory at the root serves both builds.
BUILD = TREE / "build" / "dev"
KEPT = SCRATCH / "extensions"
COPIED = ["CMakeLists.txt", "pyproject.toml", "native", "src", "tests"]
TEST_TIMEOUT_S = 900


@dataclass
class Mutant:
    name: str
    file: str
    find: str
    replace: str
    tests: list[str]


def load_mutants() -> list[Mutant]:
    with MUTANTS.open("rb") as f:
        return [Mutant(**entry) for entry in tomllib.load(f)["mutant"]]


def copy_tree() -> None:
    """Brings the copy up to date, touching only files whose bytes differ so
    that the build there stays incremental."""
    wanted: set[Path] = set()
    for name in COPIED:
        source = ROOT / name
        paths = [source] if source.is_file() else [p for p in source.rglob("*") if p.is_file()]
        for path in paths:
            rel = path.relative_to(ROOT)
            if "__pycache__" in rel.parts or rel.name.startswith("_native") and rel.suffix == ".so":
                continue
            wanted.add(rel)
            target = TREE / rel
            data = path.read_bytes()
            if not target.is_file() or target.read_bytes() != data:
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(data)
    for name in COPIED:
        copy = TREE / name
        if copy.is_dir():
            for path in copy.rglob("*"):
                rel = path.relative_to(TREE)
                if path.is_file() and rel not in wanted and "__pycache__" not in rel.parts and path.suffix != ".so":
                    path.unlink()


def sources_hash() -> str:
    digest = hashlib.sha256()
    for path in sorted([TREE / "CMakeLists.txt", TREE / "pyproject.toml", *(TREE / "native").rglob("*")]):
        if path.is_file():
            digest.update(str(path.relative_to(TREE)).encode() + b"\0" + path.read_bytes())
    return digest.hexdigest()[:20]


def build_env() -> dict[str, str]:
    env = dict(os.environ)
    env.setdefault("CCACHE_BASEDIR", str(ROOT))
    env.setdefault("CCACHE_NOHASHDIR", "1")
    return env


def build() -> tuple[Path | None, str]:
    """The extension built from the copy as it is now: (path, "") or (None, log)."""
    key = sources_hash()
    kept = KEPT / f"{key}.so"
    if kept.is_file():
        return kept, ""
    configure = ["cmake", "-S", str(TREE), "-B", str(BUILD), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
                 f"-DPython_EXECUTABLE={sys.executable}"]
    if shutil.which("ccache"):
        configure += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
    for command in (configure, ["cmake", "--build", str(BUILD), "-j", "2", "--target", "_native"]):
        done = subprocess.run(command, env=build_env(), capture_output=True, text=True)
        if done.returncode != 0:
            return None, (done.stdout + done.stderr)[-3000:]
    built = next(BUILD.glob("_native*.so"))
    KEPT.mkdir(parents=True, exist_ok=True)
    shutil.copy2(built, kept)
    return kept, ""


def run_tests(extension: Path, tests: list[str]) -> tuple[str, str]:
    """("caught" | "missed" | "timeout" | "error", first failure line)."""
    package = TREE / "src" / "ombrel_store"
    link = package / "_native.abi3.so"
    link.unlink(missing_ok=True)
    link.symlink_to(extension)
    env = dict(os.environ, PYTHONPATH=str(TREE / "src"))
    command = [sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", "--no-header", "-rf",
               *tests]
    try:
        done = subprocess.run(command, cwd=TREE / "tests", env=env, capture_output=True, text=True,
                              timeout=TEST_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        return "timeout", f"tests ran over {TEST_TIMEOUT_S} s"
    failed = [line for line in done.stdout.splitlines() if line.startswith(("FAILED", "ERROR"))]
    first = failed[0][:160] if failed else done.stdout.strip().splitlines()[-1:][0][:160] if done.stdout.strip() else ""
    if done.returncode == 0:
        return "missed", first
    if done.returncode == 1:
        return "caught", first
    if done.returncode < 0:
        return "caught", f"the test process died of signal {-done.returncode}"
    return "error", (done.stdout + done.stderr).strip().splitlines()[-1][:160]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("names", nargs="*", help="mutants to run (default: all)")
    parser.add_argument("--list", action="store_true", help="list the mutants and stop")
    args = parser.parse_args()

    mutants = load_mutants()
    if args.list:
        for m in mutants:
            print(f"{m.name:45} {m.file}")
        return 0
    unknown = set(args.names) - {m.name for m in mutants}
    if unknown:
        parser.error(f"no such mutant: {', '.join(sorted(unknown))}")
    chosen = [m for m in mutants if not args.names or m.name in args.names]

    copy_tree()
    started = time.monotonic()
    clean, log = build()
    if clean is None:
        print(f"the unmutated copy does not build:\n{log}", file=sys.stderr)
        return 2
    print(f"unmutated copy built in {time.monotonic() - started:.0f} s", flush=True)

    results = []
    for m in chosen:
        target = TREE / m.file
        original = target.read_text()
        if original.count(m.find) != 1:
            results.append((m, "stale", f"its text occurs {original.count(m.find)} times in {m.file}", 0.0))
            print(f"{m.name:45} stale", flush=True)
            continue
        started = time.monotonic()
        target.write_text(original.replace(m.find, m.replace))
        try:
            extension, log = build()
            if extension is None:
                outcome, detail = "no-build", log.strip().splitlines()[-1][:160] if log.strip() else ""
            else:
                outcome, detail = run_tests(extension, m.tests)
        finally:
            target.write_text(original)
        seconds = time.monotonic() - started
        results.append((m, outcome, detail, seconds))
        print(f"{m.name:45} {outcome:8} {seconds:5.0f} s  {detail}", flush=True)

    caught = sum(1 for _, outcome, _, _ in results if outcome in ("caught", "timeout"))
    print(f"\n{caught} of {len(results)} mutants caught")
    for m, outcome, detail, _ in results:
        if outcome not in ("caught", "timeout"):
            print(f"  {outcome}: {m.name} ({m.file}) {detail}")
    return 0 if caught == len(results) else 1


if __name__ == "__main__":
    sys.exit(main())
