#!/usr/bin/env bash
# Keeps the module arrows pointing one way: each module may include only the modules below it, and
# nothing but the user interface may include widget headers.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../src" || exit 2

declare -A allowed=(
    [common]="common"
    [catalogue]="common catalogue"
    [net]="net"
    [media]="common net media"
    [vision]="common net vision"
    [naming]="common net naming"
    [update]="common net update"
    [decoder]="common media decoder"
    [core]="common net media decoder vision naming update catalogue core"
    [cli]="common net media decoder vision naming update catalogue core cli"
    [ui]="common net media decoder vision naming update catalogue core ui"
    [app]="common net media decoder vision naming update catalogue core ui app"
)

status=0
for module in "${!allowed[@]}"; do
    [ -d "$module" ] || continue
    while IFS=: read -r file line include; do
        target=$(sed -E 's/.*#include "([a-z]+)\/.*/\1/' <<<"$include")
        if [[ " ${allowed[$module]} " != *" $target "* ]]; then
            echo "$file:$line: $module may not include $target: $include"
            status=1
        fi
    done < <(grep -rnE '^#include "[a-z]+/' "$module" || true)
    if [ "$module" != ui ] && [ "$module" != app ]; then
        if grep -rnE '^#include <(QWidget|QPixmap|QtWidgets|QApplication|QMainWindow)' "$module"; then
            echo "$module: widget headers belong to the user interface"
            status=1
        fi
    fi
done
[ $status -eq 0 ] && echo "module boundaries kept"
exit $status
