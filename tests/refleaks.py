"""Reference-leak hunting, for a debug build of the interpreter.

With ``--refleaks`` every test runs several times over, set-up and tear-down included, and
the interpreter's total reference count is taken before each run. After the warm-up runs have
filled the interpreter's caches, a test whose every run leaves more references behind than it
found fails: one reference leaked per call shows up in every run, while cache noise does not.
Allocated memory blocks are reported beside them but not judged, since the interpreter's free
lists make them drift by a few blocks a run.

A test that passes once but fails when repeated (a parameter that is used up, say) is not a
leak; it is run once, named at the end, and the module's tables and namespace are put back
as they were, so that its failed repetition leaves nothing behind.
"""

import builtins
import gc
import sys
from array import array

import pytest
from _pytest.runner import runtestprotocol

WARMUPS = 3
MEASURED = 4
# These run other processes or builds, which says nothing about this process, or make a new
# temporary directory that pytest keeps a record of on every run.
UNREPEATABLE = {"run_child", "build_variant", "instruction_counts", "tmp_path", "tmpdir"}


def pytest_addoption(parser):
    parser.addoption(
        "--refleaks",
        action="store_true",
        help="run every test repeatedly and fail those that leak references or memory",
    )


def pytest_configure(config):
    if config.getoption("--refleaks") and not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("--refleaks needs a debug build of the interpreter")


def _carries_state(value):
    # An iterator is used up by the first run; an exception instance raised again grows its
    # traceback.
    return hasattr(value, "__next__") or isinstance(value, BaseException)


def _repeatable(item):
    if UNREPEATABLE & set(getattr(item, "fixturenames", ())):
        return False
    callspec = getattr(item, "callspec", None)
    if callspec is not None and any(_carries_state(v) for v in callspec.params.values()):
        return False
    # Property tests draw new examples on every run.
    return not getattr(getattr(item, "obj", None), "is_hypothesis_test", False)


def _snapshot():
    import vorlaken

    tables = [vars(vorlaken), vorlaken.decode_func, vorlaken.encode_func, vars(builtins)]
    return [(table, list(table.items())) for table in tables]


def _restore(snapshot):
    for table, items in snapshot:
        now = list(table.items())
        if len(now) != len(items) or any(a[0] is not b[0] or a[1] is not b[1] for a, b in zip(now, items)):
            table.clear()
            table.update(items)


_once = []


def pytest_terminal_summary(terminalreporter, config):
    if config.getoption("--refleaks") and _once:
        terminalreporter.write_line(f"{len(_once)} tests could not be repeated and ran once:")
        for nodeid in _once:
            terminalreporter.write_line("    " + nodeid)


def _mark(marks, i):
    gc.collect()
    marks[2 * i] = sys.gettotalrefcount()
    marks[2 * i + 1] = sys.getallocatedblocks()


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    if not item.config.getoption("--refleaks") or not _repeatable(item):
        return None
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    # What exists now is moved out of the collector's sight, so that the collections between
    # runs look only at what the runs made.
    gc.collect()
    gc.freeze()
    runs = WARMUPS + MEASURED
    # Raw numbers, so that keeping them creates no objects between the marks.
    marks = array("q", bytes(8 * 2 * (runs + 1)))
    snapshot = _snapshot()
    first = reports = []
    leak = None
    for i in range(runs):
        _mark(marks, i)
        reports = runtestprotocol(item, nextitem=nextitem, log=False)
        item._initrequest()
        if i == 0:
            first = reports
        if any(report.failed or report.skipped for report in reports):
            if i > 0:
                _restore(snapshot)
                _once.append(item.nodeid)
                reports = first
            break
    else:
        _mark(marks, runs)
        refs = [marks[2 * (i + 1)] - marks[2 * i] for i in range(WARMUPS, runs)]
        blocks = [marks[2 * (i + 1) + 1] - marks[2 * i + 1] for i in range(WARMUPS, runs)]
        if all(d > 0 for d in refs):
            leak = f"leaked on every run: references {refs} (memory blocks {blocks})"
    del snapshot
    for report in reports:
        if leak is not None and report.when == "call":
            report.outcome = "failed"
            report.longrepr = leak
        item.ihook.pytest_runtest_logreport(report=report)
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True
