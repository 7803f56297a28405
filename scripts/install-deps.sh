#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing fwupdate need.
# Quick and silent when everything is present already. Further package names may be given as arguments
# (the Windows build adds its own).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev
  libcli11-dev nlohmann-json3-dev
  clang libclang-rt-dev
  xvfb xauth
  scdoc librsvg2-bin gzip ccache
  dpkg-dev fakeroot file lintian desktop-file-utils appstream man-db
  ansible-core python3-pytest python3-venv python3-voluptuous python3-pycodestyle pylint yamllint shellcheck
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: run as root (or install them with apt-get) and try again" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Another apt-get (a second build started at the same time) holds the lock for a while: wait for it.
apt_get=(apt-get -o DPkg::Lock::Timeout=600)
"${apt_get[@]}" update -qq
"${apt_get[@]}" install -y -qq --no-install-recommends "${missing[@]}"
