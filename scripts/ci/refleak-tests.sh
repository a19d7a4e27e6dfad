#!/usr/bin/env bash
# The test suite under Debian's debug interpreter, with the module built against its headers,
# every test run repeatedly: a single reference leaked per call fails the run.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/ci/quietly.sh
python3.11-dbg -m venv .venv-dbg
quietly .venv-dbg/bin/pip install --upgrade pip
quietly .venv-dbg/bin/pip install ".[test]"
# Debian's debug headers are links into the release headers' directory; as system headers
# gcc would follow the links and find the release configuration, so they are included as
# ordinary ones.
quietly .venv-dbg/bin/pip install --force-reinstall --no-deps . \
    -Ccmake.define.CMAKE_NO_SYSTEM_FROM_IMPORTED=ON -Ccmake.define.VORLAKEN_LTO=OFF
module="$(.venv-dbg/bin/python -c 'import vorlaken; print(vorlaken.__file__)')"
symbols="$(nm -D "$module")"
if [[ "$symbols" != *_Py_RefTotal* ]]; then
    echo "refleak run: $module does not count references; it was built against release headers" >&2
    exit 1
fi
.venv-dbg/bin/pytest -q -p no:cacheprovider --refleaks "$@"
