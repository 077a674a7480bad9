#!/usr/bin/env bash
# Installs what is missing, builds, and starts the Velmora window. Arguments are files and folders to list.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/bootstrap.sh
cmake --preset default >/dev/null
cmake --build --preset default

# Files and folders given here are listed in the window at start.
exec build/src/app/velmora "$@"
