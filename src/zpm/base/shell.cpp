#include "shell.h"

std::string shell_quote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '\'';
    for (char c : text) {
        if (c == '\'')
            out += "'\\''"; // close, escaped quote, reopen
        else
            out += c;
    }
    out += '\'';
    return out;
}
