// Text from outside (a server, a certificate, a settings or job file, a
// statement) on its way to the operator's terminal: a control character in
// it must not act on the terminal (an escape sequence, a carriage return
// overwriting the line, text turned right to left), so it is shown as a
// visible escape instead. The one place both commands make text visible.
#pragma once

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

}  // namespace quellmark::base
