#!/usr/bin/env bash
# Sets up what is missing, (re)installs the package into the project's virtual
# environment .venv when it is absent there or older than the sources, then
# scores the bundled 2GTP docking model against its native.
#   PYTHON=/usr/bin/python3 scripts/demo.sh     makes .venv from that interpreter
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
export VIRTUAL_ENV=$PWD/.venv PATH=$PWD/.venv/bin:$PATH

# The installed extension module's mtime is the time of the last install.
installed=$(python -c 'import tarvo, _tarvo_rs; print(_tarvo_rs.__file__)' 2>/dev/null || true)
newer_sources() {
  find pyproject.toml CMakeLists.txt tarvo-core/CMakeLists.txt tarvo-core/src tarvo-py python \
    -newer "$installed" -type f \( -name '*.[ch]pp' -o -name '*.py' -o -name '*.txt' -o -name '*.toml' \) \
    -print -quit
}
if [[ -z $installed || -n $(newer_sources) ]]; then
  echo "demo: building and installing tarvo (the first build takes a few minutes)"
  python -m pip install -q --disable-pip-version-check .
fi

tarvo examples/2GTP_model.pdb examples/2GTP_native.pdb
