// What the engine (planning and execution) asks of, and tells, whoever drives
// it.  The front end installs its hooks once at start-up.  Without hooks the
// engine gets no answer to a question (an install that needs one stops) and
// its notes go nowhere; it never talks to the user itself.
#ifndef ZPM_HOOKS_H
#define ZPM_HOOKS_H

#include <functional>
#include <string>

#include "zpm/zpc.h" /* s_ekva */

namespace zpm {

// The steps of carrying out a transaction that can take long.
enum class ProgressPhase { fetch, unpack, check, place };

struct Hooks {
    // A question with fixed answers: the prompt, the answers (key -> text, a
    // key/value array with its header) and the key of the default answer.
    // Returns the key of the answer (pointing into choices), or null when no
    // answer was given.
    std::function<const char *(const char *prompt, s_ekva **choices, char *default_key)> choose;
    // A line for the text the front end is putting together (what planning
    // found out about a request).
    std::function<void(const std::string &line)> note;
    // How far long work has come: the package's name (null: the package
    // named last), the phase, and done of total (bytes while fetching, files
    // while placing; 0 of 1 for the steps that report only their start).
    std::function<void(const char *package, ProgressPhase phase, unsigned long long done,
                       unsigned long long total)>
        progress;
};

void set_hooks(Hooks hooks);
const Hooks &hooks();

// The hooks' calls with the defaults above.
const char *hook_choose(const char *prompt, s_ekva **choices, char *default_key);
void hook_note(const std::string &line);
void hook_progress(const char *package, ProgressPhase phase, unsigned long long done,
                   unsigned long long total);

} // namespace zpm

#endif
