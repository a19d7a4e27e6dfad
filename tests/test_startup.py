"""Module start-up, each scenario in a fresh interpreter.

Start-up runs once per process and leaves its mark on sys.modules, so every
case here imports vorlaken in a child interpreter and reports back what it saw.
"""

import sys

import pytest

FALLBACK_SETUP = """
import collections, types
del collections.OrderedDict
_fallback = types.ModuleType("ordereddict")
class OrderedDict(dict):
    pass
_fallback.OrderedDict = OrderedDict
sys.modules["ordereddict"] = _fallback
EXPECTED = OrderedDict
"""

NORMAL_SETUP = """
import collections
EXPECTED = collections.OrderedDict
"""


@pytest.mark.parametrize("setup", [NORMAL_SETUP, FALLBACK_SETUP], ids=["collections", "ordereddict-fallback"])
@pytest.mark.parametrize("inside_except", [False, True], ids=["top-level", "inside-except"])
def test_ordered_dict_import_leaves_exception_state_alone(run_child, setup, inside_except):
    body = "import sys\n" + setup + f"""
def load():
    before = sys.exc_info()
    import vorlaken
    return vorlaken, before, sys.exc_info()

if {inside_except!r}:
    try:
        raise KeyError("the caller's own")
    except KeyError:
        m, before, after = load()
else:
    m, before, after = load()

report(
    before=None if before[0] is None else before[0].__name__,
    unchanged=all(a is b for a, b in zip(before, after)),
    ordered_dict_ok=vars(m).get("OrderedDict") is EXPECTED,
    complete="__test__" in vars(m),
)
"""
    seen = run_child(body)
    assert seen["before"] == ("KeyError" if inside_except else None)
    assert seen["unchanged"], "sys.exc_info() changed across the import"
    assert seen["ordered_dict_ok"]
    assert seen["complete"]


def test_no_ordered_dict_anywhere(run_child, interpreter_attrs, own_names):
    seen = run_child("""
import sys, collections
del collections.OrderedDict
try:
    import ordereddict
except ImportError as own:
    expected = [type(own).__name__, str(own), own.name]
else:
    raise SystemExit("an ordereddict module is installed here")
try:
    import vorlaken
except BaseException as e:
    ctx = e.__context__
    m = sys.modules.get("vorlaken")
    report(
        error=[type(e).__name__, str(e), getattr(e, "name", None)],
        expected=expected,
        entries=module_entries(e),
        context_is_import_error=type(ctx) is ImportError,
        context_message=str(ctx),
        context_entries=module_entries(ctx),
        names=None if m is None else list(vars(m)),
    )
else:
    report(error=None)
""")
    assert seen["error"] is not None, "import succeeded without any OrderedDict"
    assert seen["error"] == seen["expected"]
    assert seen["entries"] == ["init vorlaken"]
    # The ImportError from collections is the context, with its own entry.
    assert seen["context_is_import_error"]
    assert seen["context_message"] == "cannot import name OrderedDict"
    assert seen["context_entries"] == ["vorlaken"]
    # The half-built module stays registered, holding what the body bound
    # before the failing statement and nothing after it.
    assert seen["names"] == interpreter_attrs + own_names[:own_names.index("OrderedDict")]


@pytest.mark.parametrize("raised, falls_back", [
    ("RuntimeError", False),
    ("AttributeError", True),       # becomes "cannot import name", which is caught
    ("ModuleNotFoundError", True),  # an ImportError subclass is caught as is
])
def test_errors_from_collections(run_child, interpreter_attrs, own_names, raised, falls_back):
    seen = run_child(f"""
import sys, types
fake = types.ModuleType("collections")
def __getattr__(name):
    if name == "OrderedDict":
        raise {raised}("boom")
    raise AttributeError(name)
fake.__getattr__ = __getattr__
sys.modules["collections"] = fake
_fallback = types.ModuleType("ordereddict")
class OrderedDict(dict):
    pass
_fallback.OrderedDict = OrderedDict
sys.modules["ordereddict"] = _fallback
try:
    import vorlaken
except BaseException as e:
    m = sys.modules.get("vorlaken")
    report(
        error=[type(e).__name__, str(e)],
        context=None if e.__context__ is None else type(e.__context__).__name__,
        entries=module_entries(e),
        names=None if m is None else list(vars(m)),
    )
else:
    report(error=None, fallback_used=vorlaken.OrderedDict is OrderedDict)
""")
    if falls_back:
        assert seen["error"] is None
        assert seen["fallback_used"]
    else:
        assert seen["error"] == [raised, "boom"]
        assert seen["context"] is None
        assert seen["entries"] == ["init vorlaken"]
        assert seen["names"] == interpreter_attrs + own_names[:own_names.index("OrderedDict")]


# Deleting ImportError or KeyError breaks the import system itself before the
# module is reached, so those two are left out.
@pytest.mark.parametrize("deleted, reported", [
    (["range"], "range"),
    (["IndexError"], "IndexError"),
    (["Exception"], "Exception"),
    (["ValueError"], "ValueError"),
    # The first missing one in capture order is the one named.
    (["IndexError", "range"], "range"),
    (["IndexError", "ValueError"], "ValueError"),
])
def test_missing_builtin(run_child, interpreter_attrs, own_names, deleted, reported):
    seen = run_child(f"""
import sys, builtins
saved = {{n: getattr(builtins, n) for n in {deleted!r}}}
for n in saved:
    delattr(builtins, n)
error = None
try:
    import vorlaken
except BaseException as e:
    error = [type(e).__name__, str(e), module_entries(e)]
finally:
    for n, v in saved.items():
        setattr(builtins, n, v)
m = sys.modules.get("vorlaken")
report(error=error, names=None if m is None else list(vars(m)))
""")
    assert seen["error"] == ["NameError", f"name '{reported}' is not defined", ["init vorlaken"]]
    # Registered, with __builtins__ set, but no global of the body.
    assert seen["names"] == interpreter_attrs + own_names[:own_names.index("__version__")]


# --- built-for version check -----------------------------------------------

RUNNING = sys.version[:3]
WARNING = "compiletime version {} of module 'vorlaken' does not match runtime version {}"


@pytest.mark.parametrize("claimed, warns", [
    ("2.7", True),
    ("2.1", True),   # only the major digit differs
    ("3.5", True),   # only the first digit of the minor number differs
    pytest.param("3.10", False, marks=pytest.mark.skipif(
        RUNNING != "3.1", reason="needs a 3.1x interpreter")),  # "3.10" is cut to "3.1"
])
def test_built_for_version_check(run_child, build_variant, claimed, warns):
    where = str(build_variant(claimed))
    seen = run_child(f"""
import sys, warnings
sys.path.insert(0, {where!r})
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import vorlaken
report(
    origin=vorlaken.__file__,
    warnings=[[w.category.__name__, str(w.message)] for w in caught],
    complete="__test__" in vars(vorlaken),
)
""")
    assert seen["origin"].startswith(where)
    expected = [["RuntimeWarning", WARNING.format(claimed[:3], RUNNING)]] if warns else []
    assert seen["warnings"] == expected
    assert seen["complete"]


def test_version_warning_as_error_fails_import(run_child, build_variant):
    where = str(build_variant("2.7"))
    seen = run_child(f"""
import sys
sys.path.insert(0, {where!r})
try:
    import vorlaken
except BaseException as e:
    report(error=[type(e).__name__, str(e)], registered="vorlaken" in sys.modules)
else:
    report(error=None, file=vorlaken.__file__)
""", "-W", "error::RuntimeWarning")
    assert seen["error"] == ["RuntimeWarning", WARNING.format("2.7", RUNNING)]
    assert seen["registered"] is False


def test_installed_build_imports_without_warning(run_child):
    seen = run_child("""
import vorlaken
report(complete="__test__" in vars(vorlaken))
""", "-W", "error")
    assert seen["complete"]
