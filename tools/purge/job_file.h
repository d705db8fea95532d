// Job files of quellmark-purge: the options of one purge, kept in a file that
// a scheduler names (`quellmark-purge --job /etc/quellmark/purge/netmon.conf`).
//
//   # ATR_Log of the NetMon database: priority 7 older than 90 days
//   statement = DELETE TOP (5000) FROM ATR_Log WHERE priority = '7' AND ...
//   max-runtime = 45m
//   dry-run = no
//
// One `name = value` per line, with the long option names; blank lines and
// lines beginning with `#` are skipped. A flag takes true/false or yes/no.
// File names that are not absolute are read from the job file's folder.
#pragma once

#include <string>

#include "purge/purge_options.h"

namespace quellmark::purge_tool {

// Reads the job file into options (with `job` set to `file`). Throws
// UsageError naming the file and the line: an unknown key, a line that is
// not `name = value`, a key given twice, a bad value. A file that others
// than its owner (root or the user running this) can write, by its mode bits
// or an ACL entry, or that lies below a folder others can write (but for a
// sticky one such as /tmp), is refused: it chooses which rows are deleted.
// For a link, the folders of both the link and the file it names count.
PurgeOptions ReadJobFile(const std::string& file);

// The whole of a file a run reads its options or statement from; `what`
// names it in the messages ("statement file"). Refused at once, with a
// UsageError, when it is not a regular file (a FIFO, a device), is over
// 64 KiB, or, with `othersMayNotWrite`, when others can write it as above.
std::string ReadRunFile(const std::string& file, const std::string& what, bool othersMayNotWrite);

}  // namespace quellmark::purge_tool
