// Quoting for shell command lines.  Every text that goes into a command run
// through the shell (dialog texts, file names, package names, values from a
// package or the catalogue) passes through shell_quote, so the shell hands it
// on as one literal argument and never interprets any of it.
#ifndef ZPM_SHELL_H
#define ZPM_SHELL_H

#include <string>
#include <string_view>
#include <vector>

// Returns text as one single-quoted shell word: 'text', with every ' written
// as '\''.  Works for any bytes, the empty text included ('').
std::string shell_quote(std::string_view text);

// Splits a plain command line into the words the shell would hand to the
// program: blanks between words, '...' quoting, "..." quoting without
// expansions, and a backslash before one character.  False, with words
// left unspecified, when the line holds anything the shell would expand,
// redirect or interpret itself (variables, substitutions, globs, tildes,
// separators, redirections, comments, assignments); such a line must go to
// the shell.  The first word is a program name as it stands: the caller
// decides which programs it starts this way (a shell keyword or builtin
// would not be one).
bool shell_words(std::string_view cmd, std::vector<std::string> *words);

#endif
