#!/usr/bin/env bash
# Checks the include rules of the source tree:
# - under src/, every project include names its layer ("base/...",
#   "data_access/...", "ops/...", "ui/...");
# - the layers point one way: ui -> ops -> data_access, never back, and the
#   product never includes test-only code; base/ is open to every layer and
#   includes no other layer;
# - a layer's internal/ headers are included only by that layer, its tests
#   and the fuzz targets.
# Prints each offending line and exits 1 if there is one.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0
report() { echo "$1: $2"; status=1; }

while IFS= read -r line; do
    file=${line%%:*}
    rest=${line#*:}
    included=$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' <<<"$rest")
    [ -n "$included" ] || continue
    layer=$(cut -d/ -f2 <<<"$file")
    case "$included" in
        *.moc) continue ;;
        base/*|data_access/*|ops/*|ui/*) ;;
        *) if [[ $file == src/* ]]; then report "$file" "include \"$included\" does not name its layer"; fi; continue ;;
    esac
    target=${included%%/*}
    if [[ $file == src/* ]]; then
        case "$layer:$target" in
            base:data_access|base:ops|base:ui|data_access:ops|data_access:ui|ops:ui) report "$file" "layer $layer must not include \"$included\"" ;;
        esac
    fi
    if [[ $included == */internal/* ]]; then
        case "$file" in
            src/$target/*|tests/$target/*|fuzz/*) ;;
            *) report "$file" "\"$included\" is internal to $target" ;;
        esac
    fi
done < <(git ls-files -co --exclude-standard -- 'src/*' 'tests/*' 'tools/*' 'testing/*' 'bench/*' 'fuzz/*' 'app/*' |
         grep -E '\.(c|cpp|h)$' | xargs grep -H '#[[:space:]]*include' 2>/dev/null)

# The product never reaches into test-only folders.
if git grep -n -E '#[[:space:]]*include[[:space:]]*"(harness|logdb|support)/' -- src app tools >/dev/null; then
    git grep -n -E '#[[:space:]]*include[[:space:]]*"(harness|logdb|support)/' -- src app tools
    status=1
fi
[ "$status" -eq 0 ] && echo "includes follow the layers"
exit "$status"
