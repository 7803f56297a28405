#!/usr/bin/env bash
# Installs what is missing, builds the packaged configuration in build-package (Release, per-user folders
# only, no tests or benchmarks) and writes the Debian packages fwupdate, fwupdate-devsim and fwupdate-ansible.
# The last line of output names the .deb files, relative to the top of the repository.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh

dir=build-package
source scripts/release-flags.sh
bash scripts/build.sh "$dir" "${release_flags[@]}" -DFWUPDATE_PACKAGED=ON \
  -DFWUPDATE_TESTS=OFF -DFWUPDATE_BENCHMARKS=OFF -DFWUPDATE_FUZZ=OFF -DFWUPDATE_SANITIZE=
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >cpack.log 2>&1) || { cat "$dir/cpack.log" >&2; exit 1; }

shopt -s nullglob
debs=("$dir"/*.deb)
if [ ${#debs[@]} -ne 3 ]; then
  echo "package: expected three .deb files in $dir, found ${#debs[@]}" >&2
  exit 1
fi
echo "${debs[*]}"
