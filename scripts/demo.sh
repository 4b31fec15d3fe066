#!/usr/bin/env bash
# Sets up what is missing, (re)installs the package when it is absent or older
# than the sources, then scores the bundled 2GTP docking model against its native.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

# The installed extension module's mtime is the time of the last install.
installed=$(python3 -c 'import tarvo, _tarvo_rs; print(_tarvo_rs.__file__)' 2>/dev/null || true)
newer_sources() {
  find pyproject.toml CMakeLists.txt tarvo-core/CMakeLists.txt tarvo-core/src tarvo-py python \
    -newer "$installed" -type f \( -name '*.[ch]pp' -o -name '*.py' -o -name '*.txt' -o -name '*.toml' \) \
    -print -quit
}
if [[ -z $installed || -n $(newer_sources) ]]; then
  echo "demo: building and installing tarvo (the first build takes a few minutes)"
  python3 -m pip install -q --disable-pip-version-check .
fi

# pip may put the console script in a directory that is not on PATH.
if command -v tarvo >/dev/null; then
  tarvo examples/2GTP_model.pdb examples/2GTP_native.pdb
else
  python3 -m tarvo examples/2GTP_model.pdb examples/2GTP_native.pdb
fi
