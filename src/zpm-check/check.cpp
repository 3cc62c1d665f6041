// The whole inventory: every installed package's files, files claimed twice,
// file indexes and entries without each other, and what interrupted runs
// left behind.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unordered_map>

#include "check.h"
#include "cres.h"
#include "paths.h"

namespace zpmcheck {

const char *kind_name(Kind k) {
    static const char *const names[] = {"content",  "missing",  "type",      "unlisted",
                                        "mode",     "link",     "shared",    "orphan-index",
                                        "no-index", "leftover", "unreadable"};
    return names[static_cast<int>(k)];
}

namespace {

using Dir = std::unique_ptr<DIR, c_deleter<closedir>>;

// The entries of a directory (without "." and ".."), sorted; false when it
// cannot be read.
bool entries(const std::string &dir, std::vector<std::pair<std::string, bool>> *out) {
    Dir d(opendir(dir.c_str()));
    if (!d)
        return false;
    while (struct dirent *e = readdir(d.get())) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, ".."))
            continue;
        bool is_dir = e->d_type == DT_DIR;
        struct stat st;
        if (e->d_type == DT_UNKNOWN)
            is_dir = lstat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        out->emplace_back(e->d_name, is_dir);
    }
    std::sort(out->begin(), out->end());
    return true;
}

bool is_temp_entry(const std::string &n) {
    // ".<name>.new": an update's new entry; the previous ".<name>.old" is kept on purpose.
    return n.size() > 5 && n[0] == '.' && n.compare(n.size() - 4, 4, ".new") == 0;
}

// A file zpm writes under a temporary name beside its target
// (".<name>.zpmXXXXXX") and renames when it is whole.
bool is_copy_temp(const std::string &n) {
    size_t z = n.rfind(".zpm");
    return n.size() > 11 && n[0] == '.' && z != std::string::npos && z + 10 == n.size();
}

struct Inventory {
    std::vector<std::string> installed; // with an install record
    std::set<std::string> indexes;      // file index names
};

bool scan_inventory(Report &r, Inventory &inv) {
    std::vector<std::pair<std::string, bool>> ents;
    const std::string idir = zpm::paths::installed_dir(), fdir = zpm::paths::fileindex_dir();
    if (!entries(idir, &ents)) {
        r.findings.push_back({Kind::unreadable, "", idir, strerror(errno)});
        return false;
    }
    struct stat st;
    for (const auto &[n, is_dir] : ents) {
        if (is_temp_entry(n))
            r.findings.push_back({Kind::leftover, "", idir + "/" + n, "an unfinished update"});
        else if (n[0] != '.' && is_dir && lstat((idir + "/" + n + "/inst.txt").c_str(), &st) != 0)
            r.findings.push_back({Kind::leftover, n, idir + "/" + n, "an unfinished install"});
        else if (n[0] != '.' && is_dir)
            inv.installed.push_back(n);
    }
    ents.clear();
    entries(fdir, &ents);
    for (const auto &[n, is_dir] : ents) {
        if (is_temp_entry(n))
            r.findings.push_back({Kind::leftover, "", fdir + "/" + n, "an unfinished update"});
        else if (n[0] != '.' && !is_dir)
            inv.indexes.insert(n);
    }
    for (const auto &n : inv.indexes)
        if (!std::binary_search(inv.installed.begin(), inv.installed.end(), n))
            r.findings.push_back(
                {Kind::orphan_index, n, fdir + "/" + n, "no such installed package"});
    return true;
}

void scan_stage(Report &r) {
    std::vector<std::pair<std::string, bool>> ents;
    const std::string sdir = zpm::paths::stage_dir();
    entries(sdir, &ents);
    for (const auto &[n, is_dir] : ents)
        if (is_dir)
            r.findings.push_back({Kind::leftover, "", sdir + "/" + n, "a working directory"});
}

// Files claimed by more than one package, and temporary files beside them.
void scan_claims(Report &r, const Inventory &inv) {
    std::unordered_map<std::string, std::string> owner;
    std::map<std::string, std::vector<std::string>> twice;
    std::set<std::string> dirs;
    for (const auto &n : inv.indexes) {
        std::vector<std::string> paths;
        read_lines(zpm::paths::fileindex_dir() + "/" + n, &paths);
        for (const auto &p : paths) {
            auto [it, fresh] = owner.emplace(p, n);
            if (!fresh && it->second != n) {
                auto &who = twice[p];
                if (who.empty())
                    who.push_back(it->second);
                who.push_back(n);
            }
            dirs.insert(p.substr(0, p.rfind('/')));
        }
    }
    for (const auto &[p, who] : twice) {
        std::string all;
        for (const auto &w : who)
            all += (all.empty() ? "" : " ") + w;
        r.findings.push_back({Kind::shared, who[0], p, "claimed by " + all});
    }
    for (const auto &d : dirs) {
        std::vector<std::pair<std::string, bool>> ents;
        entries(zpm::paths::target(d.empty() ? "/" : d), &ents);
        for (const auto &[n, is_dir] : ents)
            if (!is_dir && is_copy_temp(n))
                r.findings.push_back({Kind::leftover, "", d + "/" + n, "a file being written"});
    }
}

} // namespace

Report check(const Options &opt) {
    Report r;
    Inventory inv;
    if (!scan_inventory(r, inv)) {
        r.could_not_check = true;
        return r;
    }
    std::vector<std::string> which = opt.names.empty() ? inv.installed : opt.names;
    for (const auto &n : which) {
        if (!std::binary_search(inv.installed.begin(), inv.installed.end(), n)) {
            r.findings.push_back({Kind::unreadable, n, "", "not installed"});
            r.could_not_check = true;
            continue;
        }
        auto f = check_package_files(n, opt.threads, &r.files, &r.could_not_check);
        r.findings.insert(r.findings.end(), f.begin(), f.end());
        r.packages++;
    }
    scan_claims(r, inv);
    scan_stage(r);
    return r;
}

} // namespace zpmcheck
