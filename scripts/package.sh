#!/usr/bin/env bash
# Builds the Debian package build/portvale_<version>_<arch>.deb with CPack's DEB
# generator from the project's install rules. Reuses build/ as scripts/build.sh left
# it (configuring and building it first when needed), so after the tests it only
# packs. PORTVALE_BUILD_DIR=DIR packs another build folder, PORTVALE_JOBS=N sets the
# build's parallel jobs. Prints the package's path as its last line.
set -euo pipefail
cd "$(dirname "$0")/.."

dir=${PORTVALE_BUILD_DIR:-build}
jobs=${PORTVALE_JOBS:-$(nproc)}

for tool in dpkg dpkg-shlibdeps cpack; do
  if ! command -v "$tool" >/dev/null; then
    echo "package.sh: $tool is missing; bash scripts/install-deps.sh installs it" >&2
    exit 1
  fi
done

if [ ! -f "$dir/CMakeCache.txt" ]; then
  flags=()
  [ "${CI:-}" = "true" ] && flags+=(-DPORTVALE_WERROR=ON)
  cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
fi
cmake --build "$dir" -j "$jobs"

# One package in the folder: the one just made.
rm -f "$dir"/portvale_*.deb
(cd "$dir" && cpack -G DEB --config CPackConfig.cmake >cpack.log 2>&1) || {
  cat "$dir/cpack.log" >&2
  echo "package.sh: cpack failed" >&2
  exit 1
}

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$dir/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
deb="$dir/portvale_${version}_${arch}.deb"
if [ ! -f "$deb" ]; then
  cat "$dir/cpack.log" >&2
  echo "package.sh: cpack did not make $deb" >&2
  exit 1
fi
echo "$deb"
