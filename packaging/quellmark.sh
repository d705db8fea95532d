#!/bin/sh
# Quellmark reads its settings from Sarnwick.mdb beside the executable:
# /usr/lib/quellmark/Sarnwick.mdb
exec /usr/lib/quellmark/Quellmark "$@"
