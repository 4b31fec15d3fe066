#!/usr/bin/env bash
# Builds in Release and prints every benchmark's figures: the core's benchmark
# executables, then the Python module's and the Dask layer's scripts.
#   scripts/bench.sh [core|python|dask]...   default: all three
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export VIRTUAL_ENV=$PWD/.venv PATH=$PWD/.venv/bin:$PATH
(($#)) || set -- core python dask

jobs=$(nproc)
for part in "$@"; do
  case $part in
    core)
      cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
      cmake --build build/release -j "$jobs" >/dev/null
      for bench in build/release/tarvo-core/bench_*; do
        echo "== ${bench##*/}"
        "$bench"
      done
      ;;
    python | dask)
      cmake -S . -B build/py -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVO_PYTHON=ON \
        -DTARVO_TESTS=OFF -DTARVO_BENCH=OFF >/dev/null
      cmake --build build/py -j "$jobs" --target _tarvo_rs >/dev/null
      script=scripts/bench_python.py
      [[ $part == dask ]] && script=scripts/bench_distributed.py
      echo "== $script"
      PYTHONPATH="$PWD/build/py/tarvo-py:$PWD/python" python "$script"
      ;;
    *) echo "bench: unknown part '$part' (core, python or dask)" >&2; exit 2 ;;
  esac
done
