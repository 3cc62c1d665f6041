// zpk-build: walking the source tree, hash lists and the cpio payload.
#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "cres.h"
#include "ldiflib.h"
#include "util.h"
#include "zpkb.h"

namespace zpkb {

namespace {

using ArchiveWriter = std::unique_ptr<archive, c_deleter<archive_write_free>>;
using ArchiveEntry = std::unique_ptr<archive_entry, c_deleter<archive_entry_free>>;

constexpr const char *kForks[] = {"data", "info", "init"};

struct Walk {
    std::vector<Member> members;
    std::vector<std::pair<std::string, std::string>> hashes; // relative path, digest
    std::vector<std::string> links; // link list lines for the links of data/
    uint64_t datasize = 0;
};

// The longest field and line the link list's reader takes.
constexpr size_t kLinkFieldMax = 2048;
constexpr size_t kLinkLineMax = 4095;

std::string sys_error(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + strerror(errno);
}

std::vector<std::string> sorted_entries(const std::string &dir) {
    Dir d(opendir(dir.c_str()));
    if (!d)
        throw Error{sys_error("cannot read directory", dir)};
    std::vector<std::string> names;
    while (dirent *e = readdir(d.get())) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string file_digest(const std::string &path) {
    char digest[41];
    if (!sha1_file(path.c_str(), 'x', digest))
        throw Error{
            "cannot hash " + path +
            " (an unreadable file, or a symbolic link that does not lead to a readable file)"};
    return digest;
}

std::string read_link(const std::string &src, const struct stat &st) {
    std::vector<char> buf(static_cast<size_t>(st.st_size) + 256);
    ssize_t n = readlink(src.c_str(), buf.data(), buf.size() - 1);
    if (n < 0)
        throw Error{sys_error("cannot read link", src)};
    return std::string(buf.data(), static_cast<size_t>(n));
}

void add_file(Walk &w, const std::string &src, const std::string &name, const std::string &rel,
              const struct stat &st, bool is_data) {
    Member m;
    m.name = name;
    m.mode = st.st_mode;
    m.path = src;
    if (S_ISLNK(st.st_mode)) {
        m.link = read_link(src, st);
    } else {
        m.size = st.st_size;
        if (is_data)
            w.datasize += static_cast<uint64_t>(st.st_size);
    }
    w.hashes.emplace_back(rel, file_digest(src));
    w.members.push_back(std::move(m));
}

// A symbolic link of data/ travels as a line of the link list, which makes
// it on the target after the files are in place: "<dir>|<target>|<name>".
void add_data_link(Walk &w, const std::string &src, const std::string &rel, const struct stat &st) {
    const std::string target = read_link(src, st);
    size_t cut = rel.rfind('/');
    const std::string dir = "/" + (cut == std::string::npos ? "" : rel.substr(0, cut));
    const std::string name = cut == std::string::npos ? rel : rel.substr(cut + 1);
    for (const std::string *f : {&dir, &target, &name})
        if (f->find_first_of("|\n") != std::string::npos || f->size() > kLinkFieldMax)
            throw Error{"cannot carry the symbolic link " + src +
                        " in the link list: its directory, name or target is longer than " +
                        std::to_string(kLinkFieldMax) + " characters or holds '|' or a line feed"};
    std::string line = dir + "|" + target + "|" + name;
    if (line.size() + 1 > kLinkLineMax)
        throw Error{"cannot carry the symbolic link " + src + " in the link list: line too long"};
    w.links.push_back(line + "\n");
}

// name: member name so far ("data/usr"); rel: path inside the fork ("usr").
void walk_dir(Walk &w, const std::string &src, const std::string &name, const std::string &rel,
              bool is_data) {
    for (const std::string &entry : sorted_entries(src)) {
        std::string s = src + "/" + entry, n = name + "/" + entry;
        std::string r = rel.empty() ? entry : rel + "/" + entry;
        if (n == "info/desc.txt" || n == "info/link.txt")
            continue; // written afresh: the merged fields, the merged link list
        struct stat st;
        if (lstat(s.c_str(), &st) != 0)
            throw Error{sys_error("cannot examine", s)};
        if (S_ISDIR(st.st_mode)) {
            Member m;
            m.name = n + "/";
            m.mode = st.st_mode;
            w.members.push_back(m);
            walk_dir(w, s, n, r, is_data);
        } else if (S_ISLNK(st.st_mode) && is_data) {
            add_data_link(w, s, r, st);
        } else if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) {
            add_file(w, s, n, r, st, is_data);
        } else {
            throw Error{"unsupported file type (device, FIFO or socket): " + s};
        }
    }
}

std::string hash_list(std::vector<std::pair<std::string, std::string>> hashes) {
    std::sort(hashes.begin(), hashes.end());
    std::string text;
    for (const auto &[rel, digest] : hashes)
        text += digest + ":" + rel + "\n";
    return text;
}

Member memory_member(const std::string &name, const std::string &content, mode_t mode) {
    Member m;
    m.name = name;
    m.mode = mode;
    m.content = content;
    m.size = static_cast<int64_t>(content.size());
    return m;
}

Member dir_member(const std::string &name) {
    Member m;
    m.name = name;
    m.mode = S_IFDIR | 0755;
    return m;
}

// The tree's own info/link.txt, with a line added for every link of data/
// that it does not hold yet.
std::optional<std::string> merged_link_list(const std::string &srcdir,
                                            const std::vector<std::string> &links) {
    std::string text;
    const std::string path = srcdir + "/info/link.txt";
    struct stat st;
    const bool own = lstat(path.c_str(), &st) == 0;
    if (own) {
        int n = 0;
        CharBuf buf(S_ISREG(st.st_mode) ? _read_file(path.c_str(), &n) : nullptr);
        if (!buf)
            throw Error{"cannot read " + path + " (it must be a regular file)"};
        text.assign(buf.get(), static_cast<size_t>(n));
    }
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    for (const std::string &line : links)
        if (("\n" + text).find("\n" + line) == std::string::npos)
            text += line;
    if (!own && text.empty())
        return std::nullopt;
    return text;
}

} // namespace

Tree collect_tree(const std::string &srcdir) {
    Tree t;
    for (int i = 0; i < 3; i++) {
        const char *fork = kForks[i];
        Walk w;
        w.members.push_back(dir_member(std::string(fork) + "/"));
        std::string src = srcdir + "/" + fork;
        struct stat st;
        if (lstat(src.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            w.members.back().mode = st.st_mode;
            walk_dir(w, src, fork, "", i == 0);
        }
        t.datasize += w.datasize;
        if (i == 0)
            t.link_list = merged_link_list(srcdir, w.links);
        t.hashes[i] = std::move(w.hashes);
        t.members.insert(t.members.end(), w.members.begin(), w.members.end());
    }
    return t;
}

std::vector<Member> finish_tree(Tree t, const std::string &desc) {
    char digest[41];
    sha1_data(desc.data(), desc.size(), 'x', digest);
    t.hashes[1].emplace_back("desc.txt", digest);
    t.members.push_back(memory_member("info/desc.txt", desc, S_IFREG | 0644));
    if (t.link_list) {
        sha1_data(t.link_list->data(), t.link_list->size(), 'x', digest);
        t.hashes[1].emplace_back("link.txt", digest);
        t.members.push_back(memory_member("info/link.txt", *t.link_list, S_IFREG | 0644));
    }
    t.members.push_back(dir_member("hash/"));
    for (int i = 0; i < 3; i++)
        t.members.push_back(memory_member(std::string("hash/") + kForks[i] + ".txt",
                                          hash_list(t.hashes[i]), S_IFREG | 0644));
    std::sort(t.members.begin(), t.members.end(),
              [](const Member &a, const Member &b) { return a.name < b.name; });
    return std::move(t.members);
}

namespace {

void fill_entry(archive_entry *e, const Member &m, time_t mtime, int64_t ino) {
    archive_entry_set_pathname(e, m.name.c_str());
    archive_entry_set_mode(e, m.mode);
    archive_entry_set_uid(e, 0);
    archive_entry_set_gid(e, 0);
    archive_entry_set_mtime(e, mtime, 0);
    archive_entry_set_ino64(e, ino);
    archive_entry_set_nlink(e, S_ISDIR(m.mode) ? 2 : 1);
    if (S_ISLNK(m.mode)) {
        archive_entry_set_symlink(e, m.link.c_str());
        archive_entry_set_size(e, 0);
    } else {
        archive_entry_set_size(e, S_ISREG(m.mode) ? m.size : 0);
    }
}

void write_all(archive *a, const void *buf, size_t n) {
    if (archive_write_data(a, buf, n) != static_cast<la_ssize_t>(n))
        throw Error{std::string("cannot write payload: ") + archive_error_string(a)};
}

// Streams a source file; it must still have the size it had when listed.
void copy_file(archive *a, const Member &m) {
    int fd = open(m.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw Error{sys_error("cannot open", m.path)};
    std::unique_ptr<int, void (*)(int *)> guard(&fd, [](int *p) { close(*p); });
    static thread_local std::vector<char> buf(1 << 16);
    int64_t left = m.size;
    while (left > 0) {
        ssize_t n = read(fd, buf.data(), std::min<int64_t>(left, static_cast<int64_t>(buf.size())));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw Error{"file changed or unreadable while packing: " + m.path};
        write_all(a, buf.data(), static_cast<size_t>(n));
        left -= n;
    }
}

ArchiveWriter open_writer(int fd) {
    ArchiveWriter a(archive_write_new());
    if (!a || archive_write_add_filter_gzip(a.get()) != ARCHIVE_OK ||
        archive_write_set_format_cpio_newc(a.get()) != ARCHIVE_OK)
        throw Error{"cannot set up the payload writer"};
    // Same input, same bytes: no time stamp in the gzip header, and no
    // padding after the compressed stream.
    archive_write_set_filter_option(a.get(), "gzip", "timestamp", nullptr);
    archive_write_set_bytes_in_last_block(a.get(), 1);
    if (archive_write_open_fd(a.get(), fd) != ARCHIVE_OK)
        throw Error{std::string("cannot open payload: ") + archive_error_string(a.get())};
    return a;
}

} // namespace

void write_payload(int fd, const std::vector<Member> &members, time_t mtime) {
    ArchiveWriter a = open_writer(fd);
    ArchiveEntry e(archive_entry_new());
    int64_t ino = 1;
    for (const Member &m : members) {
        archive_entry_clear(e.get());
        fill_entry(e.get(), m, mtime, ino++);
        if (archive_write_header(a.get(), e.get()) != ARCHIVE_OK)
            throw Error{"cannot write member " + m.name + ": " + archive_error_string(a.get())};
        if (!S_ISREG(m.mode))
            continue;
        if (m.path.empty())
            write_all(a.get(), m.content.data(), m.content.size());
        else
            copy_file(a.get(), m);
    }
    if (archive_write_close(a.get()) != ARCHIVE_OK)
        throw Error{std::string("cannot finish payload: ") + archive_error_string(a.get())};
}

} // namespace zpkb
