"""Shared helpers for the vorlaken test suite."""

import importlib.machinery
import inspect
import json
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from hypothesis import settings

from refleaks import (  # noqa: F401
    pytest_addoption,
    pytest_configure,
    pytest_runtest_protocol,
    pytest_terminal_summary,
)

REPO_ROOT = Path(__file__).resolve().parent.parent

# Keep hypothesis from writing its example database into the work tree.
settings.register_profile("vorlaken", database=None)
settings.load_profile("vorlaken")

# Attributes every module object gets from the interpreter, in the order the
# interpreter creates them, before the module's own start-up runs.
INTERPRETER_ATTRS = ["__name__", "__doc__", "__package__", "__loader__", "__spec__"]

# The module's own globals, in the order the start-up binds them.
OWN_NAMES = [
    "__builtins__",
    "__version__",
    "sys",
    "IS_PY2",
    "OrderedDict",
    "END_CHAR",
    "BTFailure",
    "decode_int",
    "decode_string",
    "decode_list",
    "decode_dict",
    "decode_func",
    "func",
    "keys",
    "key",
    "bdecode",
    "encode",
    "encode_int",
    "encode_bool",
    "encode_string",
    "encode_list",
    "encode_dict",
    "encode_func",
    "bencode",
    "__test__",
]

@pytest.fixture
def interpreter_attrs():
    return list(INTERPRETER_ATTRS)


@pytest.fixture
def own_names():
    return list(OWN_NAMES)


def module_entries(exc):
    """Names of the traceback entries the module added to ``exc``, outermost first.

    The module's entries are the ones whose file name is its source file.
    """
    names = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == "vorlaken.cpp":
            names.append(code.co_name)
        tb = tb.tb_next
    return names


@pytest.fixture
def entries():
    return module_entries


@pytest.fixture
def delete_global():
    """Deletes module attributes for one test, putting them back where they were.

    monkeypatch.delattr would restore a name at the end of the namespace, and
    the namespace's order is part of what the module shows.
    """
    import vorlaken

    saved = dict(vars(vorlaken))
    yield lambda name: delattr(vorlaken, name)
    ns = vars(vorlaken)
    ns.clear()
    ns.update(saved)


# Code run at the top of every child interpreter: a way to hand observations
# back as JSON, and the same traceback helper the in-process tests use.
_CHILD_PRELUDE = (
    "import json as _json\n"
    "def report(**kw):\n"
    "    print('@@REPORT@@' + _json.dumps(kw))\n"
    + textwrap.dedent(inspect.getsource(module_entries))
)


@pytest.fixture
def run_child(tmp_path):
    """Run ``body`` in a fresh interpreter and return what it passed to report().

    The child runs in an empty directory so that nothing in the current
    directory can shadow the installed module.
    """

    def run(body, *flags):
        code = _CHILD_PRELUDE + textwrap.dedent(body)
        proc = subprocess.run(
            [sys.executable, *flags, "-c", code],
            cwd=tmp_path,
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert proc.returncode == 0, f"child failed:\n{proc.stdout}\n{proc.stderr}"
        reports = [
            json.loads(line[len("@@REPORT@@"):])
            for line in proc.stdout.splitlines()
            if line.startswith("@@REPORT@@")
        ]
        assert len(reports) == 1, f"expected one report:\n{proc.stdout}\n{proc.stderr}"
        return reports[0]

    return run


def _tool_path():
    bindir = os.path.dirname(sys.executable)
    return bindir + os.pathsep + os.environ.get("PATH", "")


@pytest.fixture(scope="session")
def build_variant(tmp_path_factory):
    """Build the module out of tree, claiming another built-for Python version.

    Returns a function: version text (MAJOR.MINOR) -> directory holding the
    built extension module.  Each variant is built once per session.
    """
    path = _tool_path()
    cmake = shutil.which("cmake", path=path)
    ninja = shutil.which("ninja", path=path)
    if cmake is None or ninja is None:
        pytest.skip("cmake and ninja are needed to build version variants")
    env = dict(os.environ, PATH=path)
    root = tmp_path_factory.mktemp("variants")
    built = {}

    def run(cmd):
        proc = subprocess.run(cmd, env=env, capture_output=True, text=True)
        if proc.returncode != 0:
            pytest.fail(
                f"{' '.join(map(str, cmd))} failed:\n{proc.stdout[-4000:]}\n{proc.stderr[-4000:]}"
            )

    def build(version):
        if version not in built:
            out = root / ("claims-" + version.replace(".", "_"))
            run([
                cmake, "-S", str(REPO_ROOT), "-B", str(out), "-G", "Ninja",
                "-DCMAKE_BUILD_TYPE=Release",
                f"-DCMAKE_MAKE_PROGRAM={ninja}",
                f"-DPython_EXECUTABLE={sys.executable}",
                f"-DVORLAKEN_CLAIMED_VERSION={version}",
                "-DVORLAKEN_LTO=OFF",  # only start-up is tested: a quicker build does
            ])
            run([cmake, "--build", str(out)])
            names = {"vorlaken" + s for s in importlib.machinery.EXTENSION_SUFFIXES}
            found = [p for p in out.rglob("vorlaken*") if p.name in names and p.is_file()]
            assert len(found) == 1, f"expected one built module under {out}, found {found}"
            built[version] = found[0].parent
        return built[version]

    return build
