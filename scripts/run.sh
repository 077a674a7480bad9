#!/usr/bin/env bash
# Installs what is missing, builds, and starts Velmora. Arguments go to the program.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

scripts/bootstrap.sh
cmake --preset default >/dev/null
cmake --build --preset default

if [ -x build/src/app/velmora ]; then
    exec build/src/app/velmora "$@"
fi
# Until the desktop window exists, the command-line front end is the application.
if [ $# -eq 0 ]; then
    exec build/src/cli/velmora-cli --help
fi
exec build/src/cli/velmora-cli "$@"
