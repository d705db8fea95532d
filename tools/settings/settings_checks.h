// What write refuses before it writes anything: settings with which
// Quellmark could never connect, whatever the server says.
#pragma once

#include "data_access/jet/writer.h"

namespace quellmark::settings_tool {

// Throws UsageError, naming the option but never repeating a value, for a
// row of Settings_General (in column order; a row without its last cell, the
// password, is checked as if the password were empty) that Quellmark would
// refuse or could not send: a text holding a NUL (the file would keep less
// than given), a connection type other than the three it knows (in their
// exact letter case), a negative time-out, a remote port out of range, a
// missing user name for a SQL login, a user, password or database that a SQL
// Server login cannot carry (a password holding "};", more than 128
// characters).
void CheckUsableRow(const data_access::jet::Row& row);

}  // namespace quellmark::settings_tool
