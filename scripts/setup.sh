#!/usr/bin/env bash
# Installs what the build and the tests need; quiet and quick when all is present.
#   scripts/setup.sh [EXTRA_DEBIAN_PACKAGE...]
set -euo pipefail

apt_packages=(g++ make libeigen3-dev libtbb-dev zlib1g-dev libgtest-dev libtsl-ordered-map-dev "$@")
missing=()
for pkg in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python3 - <<'PY' || python3 -m pip install -q --disable-pip-version-check "cmake>=3.24" ninja "scikit-build-core>=0.10" pytest numpy "dask[distributed]"
import importlib.util, shutil, sys
need = [m for m in ("scikit_build_core", "pytest", "numpy", "distributed") if importlib.util.find_spec(m) is None]
need += [t for t in ("cmake", "ninja") if shutil.which(t) is None]
sys.exit(1 if need else 0)
PY
