#!/usr/bin/env bash
# Builds the abi3 wheel and repairs it with auditwheel into a manylinux wheel in
# dist/ that carries its own copy of oneTBB (and of any other library outside
# the manylinux policy). The unrepaired wheel is left in build/wheel-raw/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export VIRTUAL_ENV=$PWD/.venv PATH=$PWD/.venv/bin:$PATH

# The oldest policy that the symbols of this toolchain (GCC 12, glibc 2.36)
# allow: `auditwheel show build/wheel-raw/*.whl` names it. A newer toolchain
# makes the repair fail here rather than mislabel the wheel.
plat=manylinux_2_34_$(uname -m)

rm -rf build/wheel-raw
python -m pip wheel -q --no-deps --disable-pip-version-check -w build/wheel-raw .
rm -f dist/tarvo-*.whl
auditwheel repair --plat "$plat" -w dist build/wheel-raw/tarvo-*.whl
ls dist/tarvo-*.whl
