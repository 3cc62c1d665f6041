// The engine's progress reports turned into a progress window: which package
// and phase a transaction is in, shown once it has taken longer than about a
// second, closed at its end.  Questions asked meanwhile hold the window.
#include <cstdio>
#include <string>

#include "frontend.h"
#include "getopts.h"
#include "hooks.h"
#include "progress.h"
#include "zpmui.h"

namespace {

constexpr int kProgressDelayMs = 1000;

struct TxnProgress {
    zpm::ui::ProgressWindow window;
    std::string package; // named by the last report that named one
    int phase = -1;
    int percent = -1;
};

TxnProgress &progress() {
    static TxnProgress p;
    return p;
}

std::string size_text(unsigned long long bytes) {
    char buf[64];
    if (bytes >= 1024ULL * 1024)
        std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024));
    else
        std::snprintf(buf, sizeof buf, "%.1f kB", static_cast<double>(bytes) / 1024.0);
    return buf;
}

std::string phase_line(const std::string &pkg, zpm::ProgressPhase phase, unsigned long long done,
                       unsigned long long total) {
    switch (phase) {
    case zpm::ProgressPhase::fetch:
        if (done == 0)
            return "Fetching " + pkg + " (" + size_text(total) + ")";
        return "Fetching " + pkg + ": " + size_text(done) + " of " + size_text(total);
    case zpm::ProgressPhase::unpack:
        return "Unpacking " + pkg;
    case zpm::ProgressPhase::check:
        return "Checking the files of " + pkg;
    case zpm::ProgressPhase::place:
        break;
    }
    return "Placing the files of " + pkg + ": " + std::to_string(done) + " of " +
           std::to_string(total);
}

} // namespace

void zpm_progress_begin(const char *what, const char *name) {
    TxnProgress &p = progress();
    if (dry_run || !zpmui)
        return;
    std::string text = std::string(what) + " " + (name ? name : "");
    p.window.open(zpmui->title ? zpmui->title : "zpm", text, kProgressDelayMs);
    p.package.clear();
    p.phase = p.percent = -1;
}

void zpm_progress_end() {
    progress().window.close();
}

void zpm_progress_hold() {
    progress().window.hold();
}

void zpm_progress_resume() {
    progress().window.resume();
}

void zpm_progress_report(const char *package, zpm::ProgressPhase phase, unsigned long long done,
                         unsigned long long total) {
    TxnProgress &p = progress();
    if (!p.window.is_open())
        return;
    const bool named = package && p.package != package;
    if (named)
        p.package = package;
    int percent = total ? static_cast<int>(done * 100 / total) : 0;
    // One line for every step of the bar: placing thousands of files does
    // not send thousands of lines.
    if (!named && static_cast<int>(phase) == p.phase && percent == p.percent)
        return;
    p.phase = static_cast<int>(phase);
    p.percent = percent;
    p.window.update(percent, phase_line(p.package, phase, done, total));
}
