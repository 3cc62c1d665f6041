#include "hooks.h"

#include <utility>

namespace zpm {

namespace {
Hooks &installed() {
    static Hooks h;
    return h;
}
} // namespace

void set_hooks(Hooks hooks) {
    installed() = std::move(hooks);
}

const Hooks &hooks() {
    return installed();
}

const char *hook_choose(const char *prompt, s_ekva **choices, char *default_key) {
    const Hooks &h = installed();
    return h.choose ? h.choose(prompt, choices, default_key) : nullptr;
}

void hook_note(const std::string &line) {
    const Hooks &h = installed();
    if (h.note)
        h.note(line);
}

void hook_progress(const char *package, ProgressPhase phase, unsigned long long done,
                   unsigned long long total) {
    const Hooks &h = installed();
    if (h.progress)
        h.progress(package, phase, done, total);
}

} // namespace zpm
