#!/usr/bin/env bash
# Sets up what is missing, builds, and runs every test: the core's GoogleTest
# suite (plain and under AddressSanitizer/UBSan) and the Python tests, in the
# project's virtual environment .venv, against the package installed there and
# the repaired wheel that scripts/wheel.sh builds.
#   PYTHON=/usr/bin/python3 scripts/test.sh     makes .venv from that interpreter
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export VIRTUAL_ENV=$PWD/.venv PATH=$PWD/.venv/bin:$PATH

jobs=$(nproc)
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_SANITIZE=ON -DTARVO_BENCH=OFF >/dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs"

# The module's own tests against an AddressSanitizer build of it; the interpreter
# is not instrumented, so the runtime is preloaded, and CPython's deliberate
# leaks at exit are not reported.
cmake -S . -B build/py-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_SANITIZE=ON \
  -DTARVO_PYTHON=ON -DTARVO_TESTS=OFF -DTARVO_BENCH=OFF -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/py-asan -j "$jobs" --target _tarvo_rs
LD_PRELOAD="$(gcc -print-file-name=libasan.so)" ASAN_OPTIONS=detect_leaks=0 \
  PYTHONPATH="$PWD/build/py-asan/tarvo-py:$PWD/python" \
  python -m pytest -q -m "not slow" tests/test_module.py tests/test_structure.py

scripts/wheel.sh
python -m pip install -q --disable-pip-version-check .
python -m pytest -q tests
