#pragma once
// What the command line prints of names it did not make: file names on Linux
// are bytes, not text. Bytes that are not well-formed UTF-8, and control
// characters other than line breaks and tabs, are shown as "\xHH", so that
// a name in another encoding stays legible and cannot drive the terminal.

#include <string>
#include <string_view>

namespace tonvelo {

std::string EscapeForTerminal(std::string_view text);

}  // namespace tonvelo
