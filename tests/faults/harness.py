"""Running child processes for the reliability tests: with the fault injector
preloaded, or killed at random moments."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).parent


def compile_preload(source, library):
    """Compiles the LD_PRELOAD shim `source` (a C file) into `library`; FileNotFoundError
    when there is no C compiler."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        raise FileNotFoundError(f"no C compiler to build {Path(source).name}")
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-Wall", "-Wextra", "-Werror", "-o", str(library),
                    str(source), "-ldl"], check=True)
    return library


def build_iofault(directory):
    """Compiles the I/O fault injector (iofault.c) into `directory`; returns the library's path,
    or None when there is no C compiler."""
    try:
        return compile_preload(HERE / "iofault.c", Path(directory) / "iofault.so")
    except FileNotFoundError:
        return None


def preload_env(library):
    """This process's environment with `library` preloaded after whatever is already
    preloaded (the sanitizer runtimes, in the sanitizer run)."""
    env = dict(os.environ)
    env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD", ""), str(library)]))
    return env


def run_fault_scenarios(library, workdir, scenarios):
    """Runs `scenarios` in one child with the injector preloaded; returns its observations."""
    done = subprocess.run(
        [sys.executable, str(HERE / "fault_child.py"), str(workdir)],
        input=json.dumps(scenarios), capture_output=True, text=True, env=preload_env(library), timeout=600,
    )
    assert done.returncode == 0, f"fault child died ({done.returncode}):\n{done.stderr[-4000:]}"
    return json.loads(done.stdout)


def run_fault_script(library, workdir, *, setup, action, observe, plans, durability="data"):
    """Runs `action` once per fault plan on a copy of the store `setup` built (see
    script_child.py); returns one observation dict per plan, in order."""
    job = {"setup": setup, "action": action, "observe": observe, "plans": plans, "durability": durability}
    done = subprocess.run(
        [sys.executable, str(HERE / "script_child.py"), str(workdir)],
        input=json.dumps(job), capture_output=True, text=True, env=preload_env(library), timeout=600,
    )
    assert done.returncode == 0, f"fault child died ({done.returncode}):\n{done.stderr[-4000:]}"
    return json.loads(done.stdout)


def sweep(op, action, calls):
    """Plans failing each of the first `calls` calls of `op` in turn."""
    return [f"{op}:{n}:{action}" for n in range(1, calls + 1)]
