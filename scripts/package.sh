#!/usr/bin/env bash
# Installs what is missing, builds the programs and makes the Debian package velmora_<version>_<arch>.deb.
# The argument names the configure preset (default: package, a release build without tests into
# build-package); the path of the package is printed last.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

preset=${1:-package}
case "$preset" in
    package) dir=build-package ;;
    ci) dir=build-ci ;;
    default) dir=build ;;
    *) echo "package: unknown preset $preset" >&2; exit 2 ;;
esac

scripts/bootstrap.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" >&2
rm -f "$dir"/velmora_*.deb
(cd "$dir" && cpack -G DEB >&2)
ls "$dir"/velmora_*.deb
