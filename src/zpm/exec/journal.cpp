// The journal of the change in progress: a small text file under the
// inventory directory, one "<key> <value>" per line between a header line
// and an end line (a journal without its end line is not one).
#include "journal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "invfs.h"
#include "loglib.h"
#include "paths.h"
#include "util.h"

namespace zpm::exec {

namespace {

constexpr const char *kHeader = "zpm-journal 1";

const char *journal_name() {
    return zpm::paths::below_inv(zpm::paths::kJournal);
}

std::string journal_text(const Journal &j) {
    std::string t = std::string(kHeader) + "\n";
    auto put = [&t](const char *key, const std::string &value) {
        t += std::string(key) + " " + value + "\n";
    };
    put("op", j.op);
    put("name", j.name);
    put("puname", j.puname);
    put("old", j.old_puname);
    put("record", j.record);
    put("index", j.index);
    put("had_index", j.had_index ? "1" : "0");
    for (const auto &[kind, path] : j.paths)
        put(std::string(1, kind).c_str(), path);
    return t + "end\n";
}

// Takes one "<key> <value>" line into j; false when the key is unknown.
bool take_line(const std::string &key, const std::string &value, Journal *j) {
    if (key.size() == 1 && strchr("nrd", key[0]))
        j->paths.emplace_back(key[0], value);
    else if (key == "op")
        j->op = value;
    else if (key == "name")
        j->name = value;
    else if (key == "puname")
        j->puname = value;
    else if (key == "old")
        j->old_puname = value;
    else if (key == "record")
        j->record = value;
    else if (key == "index")
        j->index = value;
    else if (key == "had_index")
        j->had_index = value == "1";
    else
        return false;
    return true;
}

bool parse(const std::string &text, Journal *j) {
    size_t pos = 0;
    bool first = true;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            return false;
        const std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        if (first) {
            if (line != kHeader)
                return false;
            first = false;
            continue;
        }
        if (line == "end")
            return pos == text.size() && !j->op.empty() && !j->name.empty();
        const size_t sp = line.find(' ');
        if (sp == std::string::npos || !take_line(line.substr(0, sp), line.substr(sp + 1), j))
            return false;
    }
    return false;
}

} // namespace

std::string text_sum(const std::string &text) {
    char digest[41];
    sha1_data(text.data(), text.size(), 'x', digest);
    return digest;
}

zpm::Failure journal_write(const Journal &j) {
    const std::string text = journal_text(j);
    // One path per line: a name or path with a line feed cannot be recorded
    // (and no index could list it either).
    if (std::count(text.begin(), text.end(), '\n') != static_cast<long>(j.paths.size()) + 9)
        return zpm::Error{"record", zpm::paths::journal_file(), EINVAL};
    Fd inv = zpm::inv::open_root();
    if (inv.get() < 0)
        return zpm::error_now("open", zpm::paths::inv_dir());
    return zpm::inv::write_at(inv.get(), zpm::paths::inv_dir(), journal_name(), text);
}

void journal_drop() {
    Fd inv = zpm::inv::open_root();
    if (inv.get() < 0 || (unlinkat(inv.get(), journal_name(), 0) != 0 && errno != ENOENT))
        zlogf(ZLOG_ERROR, "Failed to remove %s: %s", zpm::paths::journal_file().c_str(),
              strerror(errno));
}

int journal_read(Journal *j) {
    Fd inv = zpm::inv::open_root();
    if (inv.get() < 0)
        return 0; // no inventory, so nothing was changed in it
    const std::string path = zpm::paths::journal_file();
    if (!zpm::inv::drop_link(inv.get(), zpm::paths::inv_dir(), journal_name())) {
        zlogf(ZLOG_ERROR, "Failed to remove the link %s: %s", path.c_str(), strerror(errno));
        return -1;
    }
    std::string text;
    if (!zpm::inv::read_at(inv.get(), journal_name(), &text)) {
        if (errno == ENOENT)
            return 0;
        zlogf(ZLOG_ERROR, "Failed to read %s: %s", path.c_str(), strerror(errno));
        return -1;
    }
    *j = Journal{};
    if (!parse(text, j)) {
        zlogf(ZLOG_ERROR, "%s is damaged; it tells no change that can be finished", path.c_str());
        return -1;
    }
    return 1;
}

bool Change::begin(const Journal &j, const char *who) {
    take_restore_failure(); // only a restore of this change counts
    if (auto fail = journal_write(j)) {
        zlogf(ZLOG_ERROR, "%s: cannot record the change of %s, leaving everything as it is: %s",
              who, j.puname.c_str(), fail->text().c_str());
        return false;
    }
    open_ = true;
    return true;
}

void Change::end(bool keep) {
    if (!open_)
        return;
    open_ = false;
    if (take_restore_failure() || keep) {
        kept_ = true;
        zlogf(ZLOG_ERROR,
              "The change is left for the next run of zpm to finish; the backups stay in %s",
              st_.old_dir.c_str());
        return;
    }
    journal_drop();
}

} // namespace zpm::exec
