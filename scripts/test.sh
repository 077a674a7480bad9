#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite through ctest.
# Under CI (CI=true) warnings are errors and the build goes to build-ci.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/bootstrap.sh
preset=default
if [ "${CI:-}" = "true" ]; then
    preset=ci
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" "$@"
