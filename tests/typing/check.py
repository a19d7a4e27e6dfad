"""Check the stubs that the wheel ships, against an environment that holds only the wheel.

Usage: check.py PYTHON    (PYTHON: the interpreter of that environment)

mypy and pyright run from the environment that runs this script and are pointed at PYTHON's
site-packages. uses.py must raise no error; misuses.py must raise errors on exactly the lines
marked "wrong"; a checker that cannot find the stubs fails on the import in uses.py. uses.py
must also run under PYTHON, so the sample is real code. Last, mypy's stubtest compares the
stubs with the module itself, which this script's own environment must hold too: a name the
stubs lack, or a value whose type they misstate, fails there; stubtest-allowlist.txt says what it
may pass over, and why.
"""

import json
import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
BIN = Path(sys.executable).parent
FILES = ("uses.py", "misuses.py")


def marked(name):
    lines = (HERE / name).read_text().splitlines()
    return {i for i, line in enumerate(lines, 1) if "# wrong" in line}


def mypy(python):
    proc = subprocess.run(
        [BIN / "mypy", "--strict", "--no-incremental", "--python-executable", python, *FILES],
        cwd=HERE, capture_output=True, text=True,
    )
    found = {name: set() for name in FILES}
    for line in proc.stdout.splitlines():
        m = re.match(r"(\S+\.py):(\d+): error:", line)
        if m:
            found[m.group(1)].add(int(m.group(2)))
    return found, proc.stdout + proc.stderr


def pyright(python):
    proc = subprocess.run(
        [BIN / "pyright", "--outputjson", "--pythonpath", python, *FILES],
        cwd=HERE, capture_output=True, text=True,
    )
    found = {name: set() for name in FILES}
    try:
        report = json.loads(proc.stdout)
    except json.JSONDecodeError:
        return None, proc.stdout + proc.stderr
    for d in report["generalDiagnostics"]:
        if d["severity"] == "error":
            found[Path(d["file"]).name].add(d["range"]["start"]["line"] + 1)
    return found, proc.stdout + proc.stderr


def stubtest():
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vorlaken",
                           "--allowlist", "stubtest-allowlist.txt", "--ignore-unused-allowlist"],
                          cwd=HERE, capture_output=True, text=True)
    return proc.returncode == 0, (proc.stdout + proc.stderr).strip()


def runs(python):
    proc = subprocess.run([python, "uses.py"], cwd=HERE, capture_output=True, text=True)
    return proc.returncode == 0, (proc.stdout + proc.stderr).strip()


def main(python):
    expected = {name: marked(name) for name in FILES}
    ok = True
    for name, (passed, output) in (("uses.py runs", runs(python)), ("stubtest", stubtest())):
        print(f"{name}: {'ok' if passed else 'FAILED'}" + ("" if passed else f"\n{output}"))
        ok = ok and passed
    for checker in (mypy, pyright):
        found, output = checker(python)
        if found == expected:
            print(f"{checker.__name__}: uses.py clean, misuses.py errors on exactly lines "
                  f"{sorted(expected['misuses.py'])}")
            continue
        ok = False
        print(f"{checker.__name__}: expected errors on {expected}, found {found}\n{output}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
