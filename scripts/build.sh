#!/usr/bin/env bash
# Installs what is missing, builds the module for Debian's python3 and shows it working.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
python=${PYTHON:-/usr/bin/python3}
build=build/release
cmake -S . -B "$build" -DPython3_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)"
PYTHONPATH="$build" "$python" - <<'PY'
import kestro
doc = {"name": "kestro", "tags": ["fast", "exact"], "ratio": 0.1, "n": 3, "ok": True, "none": None}
text = kestro.dumps(doc, option=kestro.OPT_INDENT_2 | kestro.OPT_SORT_KEYS)
print(text.decode())
assert kestro.loads(text) == doc
print("kestro", kestro.__version__, "built and working")
PY
