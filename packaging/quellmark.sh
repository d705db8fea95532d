#!/bin/sh
# Starts Quellmark from its own folder, lib/quellmark beside the bin folder
# that holds this script (/usr/lib/quellmark in the package). Quellmark reads
# its settings from Sarnwick.mdb in that folder: /usr/lib/quellmark/Sarnwick.mdb.
bin=$(dirname "$(readlink -f "$0")")
exec "$bin/../lib/quellmark/Quellmark" "$@"
