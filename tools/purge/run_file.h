// The files a run of quellmark-purge reads its options or its statement from
// (a job file, a statement file), and the safety check they pass first:
// they choose which rows are deleted, so only root or the user running the
// command may be able to change them.
#pragma once

#include <string>

#include "base/usage_error.h"

namespace quellmark::purge_tool {

using base::UsageError;

// The whole of a file a run reads its options or statement from; `what`
// names it in the messages ("statement file"). Refused at once, with a
// UsageError, when it is not a regular file (a FIFO, a device), is over
// 64 KiB, or, with `othersMayNotWrite`, when others can write it as above.
std::string ReadRunFile(const std::string& file, const std::string& what, bool othersMayNotWrite);

}  // namespace quellmark::purge_tool
