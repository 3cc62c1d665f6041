// The checks of one installed package: its data files against the kept
// hash list and file index, its permission list, its link list.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

#include "check.h"
#include "paths.h"

namespace zpmcheck {

namespace {

struct Item {
    std::string path, expected;
    Finding *out = nullptr;
};

// Hashes every item on a few threads; an item that differs gets its finding.
void hash_items(std::vector<Item> &items, std::vector<Finding> &found, const std::string &pkg,
                unsigned threads, bool *could_not_check) {
    std::vector<Finding> result(items.size());
    std::vector<char> hit(items.size(), 0);
    std::atomic<size_t> next{0};
    std::atomic<bool> unreadable{false};
    auto work = [&] {
        for (size_t i; (i = next++) < items.size();) {
            std::string got = file_digest(zpm::paths::target(items[i].path));
            if (got == items[i].expected)
                continue;
            hit[i] = 1;
            Kind k = Kind::content;
            std::string detail;
            if (got.empty() && errno == ENOENT)
                k = Kind::missing;
            else if (got.empty() && (errno == ELOOP || errno == EISDIR || errno == EINVAL))
                k = Kind::type, detail = "not a regular file";
            else if (got.empty())
                k = Kind::unreadable, detail = strerror(errno), unreadable = true;
            else
                detail = "sha1 " + got + ", shipped " + items[i].expected;
            result[i] = Finding{k, pkg, items[i].path, detail};
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads && items.size() > 64; t++)
        pool.emplace_back(work);
    work();
    for (auto &t : pool)
        t.join();
    for (size_t i = 0; i < items.size(); i++)
        if (hit[i])
            found.push_back(std::move(result[i]));
    if (unreadable)
        *could_not_check = true;
}

std::string mode_text(mode_t m) {
    char buf[16];
    snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(m & 07777));
    return buf;
}

// Splits a list line at "|" into at most n fields (the last one takes the rest).
std::vector<std::string> fields(const std::string &line, size_t n) {
    std::vector<std::string> f;
    size_t start = 0;
    while (f.size() + 1 < n) {
        size_t bar = line.find('|', start);
        if (bar == std::string::npos)
            break;
        f.push_back(line.substr(start, bar - start));
        start = bar + 1;
    }
    f.push_back(line.substr(start));
    f.resize(n);
    return f;
}

std::string absolute(const std::string &dir, const std::string &p) {
    if (!p.empty() && p[0] == '/')
        return p;
    return (dir.empty() || dir.back() != '/' ? dir + "/" : dir) + p;
}

void check_perms(const std::string &pkg, const std::string &list, std::vector<Finding> &out) {
    std::vector<std::string> lines;
    read_lines(list, &lines);
    for (const auto &l : lines) {
        auto f = fields(l, 2);
        char *end = nullptr;
        unsigned long want = strtoul(f[1].c_str(), &end, 8);
        if (f[0].empty() || f[1].empty() || *end)
            continue; // zpm skips such an entry too
        const std::string path = absolute("/", f[0]);
        struct stat st;
        // A missing file is the file index's finding.
        if (lstat(zpm::paths::target(path).c_str(), &st) == 0 &&
            (st.st_mode & 07777) != (want & 07777))
            out.push_back({Kind::mode, pkg, path,
                           "mode " + mode_text(st.st_mode) + ", listed " +
                               mode_text(static_cast<mode_t>(want))});
    }
}

// Walks a link list as zpm applies it: a directory entry holds for the
// following lines, relative ones against the one before (from "/").
void check_links(const std::string &pkg, const std::string &list, std::vector<Finding> &out) {
    std::vector<std::string> lines;
    read_lines(list, &lines);
    std::string dir = "/";
    for (const auto &l : lines) {
        auto f = fields(l, 3);
        if (!f[0].empty())
            dir = absolute(dir, f[0]);
        if (f[1].empty() || f[2].empty())
            continue;
        const std::string name = absolute(dir, f[2]);
        char buf[4096];
        ssize_t n = readlink(zpm::paths::target(name).c_str(), buf, sizeof buf - 1);
        if (n < 0)
            out.push_back({Kind::link, pkg, name,
                           errno == EINVAL ? "not a symbolic link" : "missing, listed -> " + f[1]});
        else if (std::string(buf, static_cast<size_t>(n)) != f[1])
            out.push_back(
                {Kind::link, pkg, name,
                 "points to " + std::string(buf, static_cast<size_t>(n)) + ", listed " + f[1]});
    }
}

} // namespace

std::vector<Finding> check_package_files(const std::string &name, unsigned threads, size_t *files,
                                         bool *could_not_check) {
    std::vector<Finding> out;
    const std::string dir = zpm::paths::installed_dir() + "/" + name;
    const std::string index = zpm::paths::fileindex_dir() + "/" + name;
    std::vector<std::pair<std::string, std::string>> hashes;
    struct stat st;
    bool has_list = lstat((dir + "/hash/data.txt").c_str(), &st) == 0;
    if (has_list && !read_hash_list(dir + "/hash/data.txt", &hashes)) {
        out.push_back({Kind::unreadable, name, dir + "/hash/data.txt", "malformed hash list"});
        *could_not_check = true;
        return out;
    }
    std::vector<std::string> paths;
    if (!read_lines(index, &paths) && !hashes.empty())
        out.push_back({Kind::no_index, name, index, "the package has data files"});
    std::unordered_map<std::string, std::string> expected(hashes.begin(), hashes.end());
    std::vector<Item> items;
    for (const auto &p : paths) {
        auto it = expected.find(p);
        if (it == expected.end())
            out.push_back({Kind::unlisted, name, p, "in the file index, not in the hash list"});
        else
            items.push_back({p, it->second});
    }
    *files += items.size();
    hash_items(items, out, name, threads, could_not_check);
    check_perms(name, dir + "/perm.txt", out);
    check_links(name, dir + "/link.txt", out);
    return out;
}

std::vector<Finding> check_package(const std::string &name, bool *could_not_check) {
    size_t files = 0;
    return check_package_files(name, 1, &files, could_not_check);
}

} // namespace zpmcheck
