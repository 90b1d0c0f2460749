// Texts inside messages in their debug form, so that a name or value taken
// from a file or a caller shows exactly, and no control character reaches a
// terminal.
#pragma once

#include <string>
#include <string_view>

namespace corvane {

// Between double quotes, with quotes and backslashes escaped, \n \r \t \0,
// and other non-printable characters as \u{hex}. Bytes that are not valid
// UTF-8 are shown as \xNN.
std::string debug_quote(std::string_view text);
// One character between single quotes ('a', '\'', '\u{1f}').
std::string debug_char(char32_t code_point);

}  // namespace corvane
