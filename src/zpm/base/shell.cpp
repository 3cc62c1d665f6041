#include "shell.h"

#include <string_view>

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

namespace {

// Characters that stand for themselves outside quotes, wherever they are.
bool plain_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("-_=.:/,+%@").find(c) != std::string_view::npos;
}

// Reads one word starting at cmd[*i]; false on anything the shell would
// interpret.
bool read_word(std::string_view cmd, size_t *i, std::string *word) {
    size_t p = *i;
    while (p < cmd.size() && cmd[p] != ' ' && cmd[p] != '\t') {
        char c = cmd[p];
        if (c == '\'') {
            size_t end = cmd.find('\'', p + 1);
            if (end == std::string_view::npos)
                return false;
            word->append(cmd.substr(p + 1, end - p - 1));
            p = end + 1;
        } else if (c == '"') {
            size_t end = cmd.find_first_of("\"$`\\", p + 1);
            if (end == std::string_view::npos || cmd[end] != '"')
                return false;
            word->append(cmd.substr(p + 1, end - p - 1));
            p = end + 1;
        } else if (c == '\\') {
            if (p + 1 >= cmd.size() || cmd[p + 1] == '\n')
                return false;
            *word += cmd[p + 1];
            p += 2;
        } else if (plain_char(c)) {
            *word += c;
            p++;
        } else {
            return false;
        }
    }
    *i = p;
    return true;
}

bool program_name(std::string_view w) {
    for (char c : w)
        if (!plain_char(c) || c == '=' || c == ',' || c == '+' || c == '%' || c == '@' || c == ':')
            return false;
    return true;
}

} // namespace

bool shell_words(std::string_view cmd, std::vector<std::string> *words) {
    words->clear();
    size_t i = 0;
    for (;;) {
        while (i < cmd.size() && (cmd[i] == ' ' || cmd[i] == '\t'))
            i++;
        if (i == cmd.size())
            break;
        const size_t start = i;
        std::string word;
        if (!read_word(cmd, &i, &word))
            return false;
        // The first word must be a plain program name: no assignment, no
        // quoting that could hide a keyword or an alias.
        if (words->empty() && !program_name(cmd.substr(start, i - start)))
            return false;
        words->push_back(std::move(word));
    }
    return !words->empty();
}
