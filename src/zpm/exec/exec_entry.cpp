// The files of an inventory entry, written through directory descriptors:
// the info and init forks and hash lists copied from the stage into a
// directory zpm has just made, and the file index and install record, each
// written under a temporary name, synced and renamed into place.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "exec_common.h"
#include "fsops.h"
#include "invfs.h"
#include "ldiflib.h"
#include "loglib.h"
#include "paths.h"

namespace zpm::exec {

namespace {

// Reads a file of the unpacked package: a regular file, not through a link.
zpm::Failure read_staged(const std::string &path, std::string *text) {
    Fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0)
        return zpm::error_now("open", path);
    if (!S_ISREG(st.st_mode))
        return zpm::Error{"open", path, EINVAL};
    if (!zpm::inv::read_all(fd.get(), text))
        return zpm::error_now("read", path);
    return {};
}

// Copies the staged file src to rel ("/a/b") below the directory base,
// making the directories between.
zpm::Failure copy_into(int base, const std::string &where, const std::string &src,
                       const std::string &rel) {
    std::string text;
    if (auto e = read_staged(src, &text))
        return e;
    Fd sub;
    int dir = base;
    std::string at = where;
    size_t from = 1, slash;
    while ((slash = rel.find('/', from)) != std::string::npos) {
        const std::string part = rel.substr(from, slash - from);
        Fd next = zpm::inv::open_dir(dir, part.c_str(), true);
        if (next.get() < 0)
            return zpm::error_now("make", zpm::inv::join(at, part));
        sub = std::move(next);
        dir = sub.get();
        at = zpm::inv::join(at, part);
        from = slash + 1;
    }
    return zpm::inv::create_at(dir, at, rel.substr(from), text, 0755);
}

// "/a/b": every part a name, none "." or "..".
bool plain_rel(const std::string &rel) {
    if (rel.size() < 2 || rel[0] != '/' || rel.back() == '/')
        return false;
    for (size_t from = 1; from <= rel.size();) {
        size_t end = rel.find('/', from);
        if (end == std::string::npos)
            end = rel.size();
        const std::string part = rel.substr(from, end - from);
        if (part.empty() || part == "." || part == "..")
            return false;
        from = end + 1;
    }
    return true;
}

// Copies every file of a fork list from "<new_dir>/<fork><path>".
zpm::Failure copy_fork(char **files, const std::string &new_dir, const char *fork, int dest,
                       const std::string &where) {
    for (size_t i = 0; files && files[i]; i++) {
        const std::string rel = files[i];
        if (!plain_rel(rel))
            return zpm::Error{"copy", where + rel, EINVAL};
        if (auto e = copy_into(dest, where, new_dir + "/" + fork + rel, rel))
            return e;
    }
    return {};
}

// The directory name below entry, made (it must not exist yet).
Fd make_sub(int entry, const char *name, const std::string &where, zpm::Failure *fail) {
    if (mkdirat(entry, name, 0755) != 0) {
        *fail = zpm::error_now("make", zpm::inv::join(where, name));
        return Fd(-1);
    }
    Fd fd = zpm::inv::open_dir(entry, name);
    if (fd.get() < 0)
        *fail = zpm::error_now("open", zpm::inv::join(where, name));
    return fd;
}

} // namespace

std::optional<EntryFailure> copy_entry(const Forks &fk, const Stage &st, int entry,
                                       const std::string &where) {
    zpm::Failure fail;
    Fd hash = make_sub(entry, "hash", where, &fail);
    if (fail)
        return EntryFailure{EntryStep::info, *fail};
    const std::string hash_at = zpm::inv::join(where, "hash");
    if (auto e = copy_fork(fk.info, st.new_dir, "info", entry, where))
        return EntryFailure{EntryStep::info, *e};
    if (fk.data)
        if (auto e = copy_into(hash.get(), hash_at, st.new_dir + "/hash/data.txt", "/data.txt"))
            return EntryFailure{EntryStep::data_hash, *e};
    if (fk.init) {
        Fd init = make_sub(entry, "init", where, &fail);
        if (fail)
            return EntryFailure{EntryStep::init, *fail};
        if (auto e = copy_fork(fk.init, st.new_dir, "init", init.get(), where + "/init"))
            return EntryFailure{EntryStep::init, *e};
        if (auto e = copy_into(hash.get(), hash_at, st.new_dir + "/hash/init.txt", "/init.txt"))
            return EntryFailure{EntryStep::init_hash, *e};
    }
    return {};
}

std::string record_text(const Record &attrs) {
    std::string text;
    for (const auto &[attr, value] : attrs) {
        int len = 0;
        CharBuf line(
            ldif_write(nullptr, &len, attr, value.c_str(), static_cast<int>(value.size()), 0));
        if (line)
            text.append(line.get(), static_cast<size_t>(len));
    }
    return text;
}

std::string lines_text(char **paths) {
    std::string text;
    for (size_t i = 0; paths && paths[i]; i++)
        text += std::string(paths[i]) + "\n";
    return text;
}

zpm::Failure write_index(const std::string &name, char **paths) {
    const std::string where = zpm::paths::fileindex_dir();
    Fd idx = zpm::inv::open_area(zpm::paths::kFileIndexDir);
    if (idx.get() < 0)
        return zpm::error_now("open", where);
    return zpm::inv::write_at(idx.get(), where, name, lines_text(paths), -1, false);
}

Fd fresh_dir(int dfd, const std::string &where, const std::string &name, zpm::Failure *fail) {
    const std::string path = zpm::inv::join(where, name);
    if (zpm::fs::remove_at(dfd, name, path) != 0) {
        *fail = zpm::error_now("remove", path);
        return Fd(-1);
    }
    return make_sub(dfd, name.c_str(), where, fail);
}

} // namespace zpm::exec
