// Text from outside (a server, a certificate, a settings or job file, a
// statement) on its way to the operator's terminal: a control character in
// it must not act on the terminal (an escape sequence, a carriage return
// overwriting the line, text turned right to left), so it is shown as a
// visible escape instead. The one place both commands make text visible,
// and the way a command's message reaches the terminal.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace quellmark::base {

// The text with every C0 control (line breaks and tabs included), DEL and
// byte that is not UTF-8 written as \xHH, every C1 control and bidirectional
// formatting character as \uHHHH; everything else, backslashes included,
// as it is.
std::string Visible(std::string_view text);

// The same for text of several lines: each line made visible, the line
// breaks between them kept.
std::string VisibleLines(std::string_view text);

// How a message is laid out: in lines, its line breaks kept, or on one line,
// a line break in it shown as \x0A (a value from outside then cannot start a
// line of its own).
enum class Layout { Lines, OneLine };
// How a message ends: with a line break; open, the cursor after it (a
// question); or rewritten in place, the rest of the line cleared (a progress
// line on a terminal).
enum class MessageEnd { NewLine, Open, InPlace };

// Writes a message to `out` (standard output or error) with its control
// characters made visible, and flushes it. False when it could not be
// written whole (a full disk, a closed pipe).
bool Report(std::FILE* out, std::string_view text, Layout layout = Layout::Lines, MessageEnd end = MessageEnd::NewLine);

}  // namespace quellmark::base
