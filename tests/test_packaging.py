"""What the installed distribution holds and says about itself.

The wheel must hold exactly the extension, the tool's package and the stubs, plus its metadata.
The installed files are checked through the distribution's record; the wheel file itself when
VORLAKEN_WHEEL names it, as the CI script does.
"""

import importlib.machinery
import importlib.metadata
import os
import zipfile
from pathlib import Path

import pytest

import vorlaken
import vorlaken_cli

DIST = importlib.metadata.distribution("vorlaken")
EXTENSION = "vorlaken" + importlib.machinery.EXTENSION_SUFFIXES[0]
TOOL = {f"vorlaken_cli/{m}.py" for m in ("__init__", "__main__", "canonical", "common",
                                         "jsonform", "summary")}
CONTENT = {EXTENSION, *TOOL, "vorlaken-stubs/__init__.pyi"}


def test_metadata():
    meta = DIST.metadata
    assert meta["Name"] == "vorlaken"
    assert meta["Version"] == vorlaken.__version__ == "1.0.0"
    assert meta["License-Expression"] == "MIT"
    assert meta["Requires-Python"] == ">=3.11"
    assert meta["Summary"]
    assert meta["Description-Content-Type"] == "text/markdown"
    assert meta["Description"].startswith("# vorlaken\n")
    classifiers = meta.get_all("Classifier")
    for c in ("Programming Language :: Python :: 3.11",
              "Programming Language :: Python :: 3.12",
              "Programming Language :: Python :: 3.13",
              "Programming Language :: Python :: Implementation :: CPython",
              "Typing :: Typed"):
        assert c in classifiers
    assert not any(c.startswith("License ::") for c in classifiers)  # said by the expression


def test_license_file_is_shipped():
    (license,) = [f for f in DIST.files if f.name == "LICENSE"]
    assert "MIT License" in license.read_text()


def test_console_script():
    (script,) = DIST.entry_points.select(group="console_scripts")
    assert (script.name, script.value) == ("vorlaken", "vorlaken_cli:run")
    assert script.load() is vorlaken_cli.run


def installed(names):
    """The names that are neither metadata nor what the installer adds."""
    return {n for n in names
            if ".dist-info/" not in n and not n.startswith("../") and "__pycache__" not in n}


def test_installed_files_are_the_extension_the_tool_and_the_stubs():
    assert installed(str(f) for f in DIST.files) == CONTENT


def test_tool_is_installed_beside_the_extension():
    # Not picked up from the source tree: both come from the same site directory.
    assert Path(vorlaken_cli.__file__).parent.parent == Path(vorlaken.__file__).parent
    assert Path(vorlaken.__file__).name == EXTENSION


@pytest.mark.skipif("VORLAKEN_WHEEL" not in os.environ,
                    reason="VORLAKEN_WHEEL names the wheel under test (the CI script sets it)")
def test_wheel_holds_exactly_the_extension_the_tool_and_the_stubs():
    names = zipfile.ZipFile(os.environ["VORLAKEN_WHEEL"]).namelist()
    info = f"vorlaken-{vorlaken.__version__}.dist-info/"
    assert set(names) == CONTENT | {info + n for n in (
        "METADATA", "WHEEL", "RECORD", "entry_points.txt", "licenses/LICENSE")}
