#!/usr/bin/env bash
# Checks the include rules of the source tree:
# - under src/, every project include names its layer ("base/...",
#   "data_access/...", "ops/...", "ui/...");
# - the layers point one way: ui -> ops -> data_access, never back, and the
#   product never includes test-only code; base/ is open to every layer and
#   includes no other layer;
# - a layer's internal/ headers, and the headers of data_access's provider
#   folders (sqlserver/, jet/) but for the few named public below, are
#   included only by that layer, its tests and the fuzz targets;
# - no include loop under src/, tools/ or testing/, a header and its source (same name, in the
#   same folder or the header in its internal/ subfolder) counting as one unit.
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
    internal=0
    case "$included" in
        data_access/jet/writer.h|data_access/jet/connection_string.h|data_access/sqlserver/server_trust.h|data_access/sqlserver/certificate.h) ;;
        */internal/*|data_access/sqlserver/*|data_access/jet/*) internal=1 ;;
    esac
    if [ "$internal" -eq 1 ]; then
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
# Include loops: every include under src/, tools/ and testing/ is an edge
# between two units (a project include names a folder under one of the three);
# tsort names the units of any loop.
edges=$(git ls-files -co --exclude-standard -- 'src/*' 'tools/*' 'testing/*' | grep -E '\.(cpp|h)$' |
    while IFS= read -r file; do
        [ -f "$file" ] || continue
        unit=${file%.*}
        unit=${unit/\/internal\//\/}
        sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)\.h".*/\1/p' "$file" |
            while IFS= read -r included; do
                for root in src tools testing; do
                    if [ -f "$root/$included.h" ]; then
                        echo "$unit $root/${included/\/internal\//\/}"
                        break
                    fi
                done
            done
    done)
if ! loops=$(tsort <<<"$edges" 2>&1 >/dev/null) || [ -n "$loops" ]; then
    echo "include loop between these units (a header and its source count as one):"
    sed -n 's/^tsort: //p' <<<"$loops" | grep -v 'input contains a loop'
    status=1
fi
[ "$status" -eq 0 ] && echo "includes follow the layers"
exit "$status"
