// Package files: the header reader, and the three readers built on it
// (description and signature, payload index, unpacking).
#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

#include "cres.h"
#include "digest_memo.h"
#include "loglib.h"
#include "recptr.h"
#include "sha1.h"
#include "util.h"
#include "zpf.h"
#include "zpk.h"
#include "zpm.h"
#include "zps.h"

namespace {

using ArchiveReader = std::unique_ptr<archive, c_deleter<archive_read_free>>;
using ArchiveWriter = std::unique_ptr<archive, c_deleter<archive_write_free>>;

constexpr char kMagic[] = "EZPM10";

// Which reader is asking: unpacking words its short-read message differently.
enum class HeaderMsgs { Plain, Extract };

bool read_magic(FILE *f, const char *name, HeaderMsgs msgs) {
    char magic[6];
    errno = 0;
    size_t n = fread(magic, 1, sizeof magic, f);
    if (n < sizeof magic) {
        if (msgs == HeaderMsgs::Extract)
            zlogf(ZLOG_ERROR, "Only %d of 6 bytes read in %s: %s", static_cast<int>(n), name,
                  strerror(errno));
        else
            zlogf(ZLOG_ERROR, "Only %d of 6 bytes read", static_cast<int>(n));
        return false;
    }
    if (memcmp(magic, kMagic, sizeof magic) != 0) {
        zlogf(ZLOG_ERROR, "Not a valid/supported package file");
        return false;
    }
    zlogf(ZLOG_DEBUG, "Package version: %d", 1);
    return true;
}

// The five-byte decimal length of the description; -1 when unreadable.
int read_desc_size(FILE *f) {
    char field[6] = {0};
    size_t n = fread(field, 1, 5, f);
    if (n < 5) {
        zlogf(ZLOG_ERROR, "Only %d of 5 bytes read", static_cast<int>(n));
        return -1;
    }
    int size = 0;
    // A negative length cannot describe anything; treat it like garbage.
    if (sscanf(field, "%d", &size) != 1 || size < 0) {
        zlogf(ZLOG_ERROR, "Failed to read description size");
        return -1;
    }
    return size;
}

// Reads magic, length and description and parses the description.  On
// success the stream stands at the first payload byte.
ZPI *read_header(FILE *f, const char *name, HeaderMsgs msgs) {
    if (!read_magic(f, name, msgs))
        return nullptr;
    int size = read_desc_size(f);
    if (size < 0)
        return nullptr;
    std::string desc(static_cast<size_t>(size), '\0');
    size_t n = size ? fread(desc.data(), 1, desc.size(), f) : 0;
    if (n < desc.size()) {
        zlogf(ZLOG_ERROR, "Only %d of %d bytes read", static_cast<int>(n), size);
        return nullptr;
    }
    ZPI *zpi = zpk_info_parse(name, 3, desc.data(), nullptr);
    if (!zpi && msgs == HeaderMsgs::Extract)
        zlogf(ZLOG_ERROR, "Failed to parse package header");
    return zpi;
}

// Verifies the payload from the current position and puts the stream back
// there, so later readers see the whole payload.
int verify_payload(ZPI *zpi, FILE *f) {
    off_t pos = ftello(f);
    int rc = zps_fverify_rsa(zpi->rsa_sig_subj, zpi->rsa_sig_data_buf, zpi->rsa_sig_data_len, f);
    if (pos < 0 || fseeko(f, pos, SEEK_SET) != 0) {
        zlogf(ZLOG_ERROR, "Failure going back to the payload: %s", strerror(errno));
        rc = ZPS_UNDECIDED;
    }
    zlogf(ZLOG_DEBUG, "rc of zps_verify_rsa: %d", rc);
    return rc;
}

void info_check_signature(ZPI *zpi, FILE *f) {
    if (!zpi->rsa_sig_subj) {
        zlogf(ZLOG_WARNING, "No signature subject found");
        zpi->rsa_verified = ZPS_MISSING;
    } else if (zpi->rsa_sig_data_len <= 0) {
        zlogf(ZLOG_WARNING, "No signature data found");
        zpi->rsa_verified = ZPS_MISSING;
    } else {
        zpi->rsa_verified = verify_payload(zpi, f);
    }
}

// A gzip-compressed cpio reader on the stream; *err gets the library's text
// when it cannot be opened.
ArchiveReader open_payload(FILE *f, std::string *err = nullptr) {
    ArchiveReader a(archive_read_new());
    if (!a)
        return nullptr;
    archive_read_support_filter_gzip(a.get());
    archive_read_support_format_cpio(a.get());
    if (archive_read_open_FILE(a.get(), f) != ARCHIVE_OK) {
        if (err) {
            const char *e = archive_error_string(a.get());
            *err = e ? e : "unknown error";
        }
        return nullptr;
    }
    return a;
}

// A growing NULL-terminated list of names, logged the way listings are.
struct NameList {
    char **items = nullptr;
    size_t count = 0;
    size_t cap = 0;

    bool add(const char *s) {
        if (count + 1 >= cap) {
            size_t ncap = cap ? cap * 2 : 20;
            zlogf(ZLOG_DEBUG,
                  cap ? "Reallocation space for %d entries" : "Allocating space for %d entries",
                  static_cast<int>(ncap));
            char **n = static_cast<char **>(realloc(items, (ncap + 1) * sizeof(char *)));
            if (!n)
                return false;
            items = n;
            cap = ncap;
        }
        items[count] = strdup(s);
        if (!items[count])
            return false;
        items[++count] = nullptr;
        return true;
    }
    void clear() {
        for (size_t i = 0; i < count; i++)
            free(items[i]);
        free(items);
        items = nullptr;
        count = cap = 0;
    }
};

} // namespace

namespace {

// The common start of the info and index readers: examine and open the file,
// read its header; the stream is left at the first payload byte.
ZpiPtr open_package(const char *zpf_name, struct stat &st, File &f) {
    if (!zpf_name || stat(zpf_name, &st) != 0) {
        zlogf(ZLOG_ERROR, "Failed to stat %s", zpf_name ? zpf_name : "(null)");
        return nullptr;
    }
    f.reset(fopen(zpf_name, "rb"));
    if (!f) {
        zlogf(ZLOG_ERROR, "Failed to open %s for reading", zpf_name);
        return nullptr;
    }
    return ZpiPtr(read_header(f.get(), zpf_name, HeaderMsgs::Plain));
}

} // namespace

extern "C" ZPI *zpm_zpf_info(const char *zpf_name, int verify_sig) {
    struct stat st;
    File f;
    ZpiPtr zpi = open_package(zpf_name, st, f);
    if (!zpi)
        return nullptr;
    free(zpi->rel_uri);
    zpi->rel_uri = strdup(zpf_name);
    free(zpi->abs_uri);
    zpi->abs_uri = realpath(zpf_name, nullptr);
    zpi->filesize = static_cast<uint64_t>(st.st_size);
    if (verify_sig)
        info_check_signature(zpi.get(), f.get());
    else
        zlogf(ZLOG_DEBUG, "Not verifying the package signature");
    f.reset();
    char digest[41];
    if (sha1_file(zpf_name, 'x', digest)) {
        free(zpi->filehash);
        zpi->filehash = strdup(digest);
    }
    return zpi.release();
}

extern "C" char **zpm_zpf_index(ZPM * /*zpm*/, const char *zpf_name) {
    struct stat st;
    File f;
    ZpiPtr zpi = open_package(zpf_name, st, f);
    if (!zpi)
        return nullptr;
    ArchiveReader a = open_payload(f.get());
    if (!a) {
        zlogf(ZLOG_ERROR, "Failed to read archive by archive_read_open_FILE");
        return nullptr;
    }
    NameList list;
    archive_entry *entry = nullptr;
    while (archive_read_next_header(a.get(), &entry) == ARCHIVE_OK) {
        const char *path = archive_entry_pathname(entry);
        if (path && strncmp(path, "data/", 5) == 0 && !list.add(path + 4)) {
            list.clear();
            return nullptr;
        }
        archive_read_data_skip(a.get());
    }
    if (archive_read_free(a.release()) != ARCHIVE_OK) {
        zlogf(ZLOG_ERROR, "Failed to parse archive by archive_read_open_FILE");
        list.clear();
        return nullptr;
    }
    return list.items;
}

namespace {

bool has_dotdot(const char *path) {
    const char *p = path;
    while (*p) {
        const char *end = strchrnul(p, '/');
        if (end - p == 2 && p[0] == '.' && p[1] == '.')
            return true;
        p = *end ? end + 1 : end;
    }
    return false;
}

// A name that is absolute or climbs with ".." would land outside the target.
bool name_escapes(const char *path) {
    return !path || path[0] == '/' || has_dotdot(path);
}

// A hard link may only join a regular file that this extraction already
// placed inside the target: never a symbolic link, which writing the link's
// data would follow.
bool hardlink_is_safe(const char *target, const std::string &root) {
    if (name_escapes(target))
        return false;
    struct stat st;
    if (lstat(target, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    CharBuf real(realpath(target, nullptr));
    return real && strncmp(real.get(), root.c_str(), root.size()) == 0 &&
           real.get()[root.size()] == '/';
}

// Why an entry must not be written, or nullptr when it may be.
const char *entry_refusal(archive_entry *e, const std::string &root) {
    if (name_escapes(archive_entry_pathname(e)))
        return "member name leaves the target directory";
    const char *hl = archive_entry_hardlink(e);
    if (hl)
        return hardlink_is_safe(hl, root) ? nullptr
                                          : "hard link target leaves the target directory";
    switch (archive_entry_filetype(e)) {
    case AE_IFREG:
    case AE_IFDIR:
    case AE_IFLNK:
        return nullptr;
    default:
        return "device nodes, FIFOs and sockets are not installed";
    }
}

// The digest of a regular member, taken while its data goes to disk.
struct BlockDigest {
    SHA1_CTX ctx;
    la_int64_t next = 0;
    bool in_order = true;
    BlockDigest() { SHA1Init(&ctx); }
    void add(const void *buf, size_t size, la_int64_t offset) {
        if (!in_order || offset != next || size > UINT32_MAX) {
            in_order = false;
            return;
        }
        SHA1Update(&ctx, static_cast<const unsigned char *>(buf), static_cast<uint32_t>(size));
        next += static_cast<la_int64_t>(size);
    }
    std::string hex() {
        unsigned char d[20];
        SHA1Final(d, &ctx);
        char out[41];
        for (int i = 0; i < 20; i++)
            snprintf(out + 2 * i, 3, "%02x", d[i]);
        return std::string(out, 40);
    }
};

bool copy_entry_data(archive *r, archive *w, BlockDigest *digest) {
    const void *buf;
    size_t size;
    la_int64_t offset;
    for (;;) {
        int rc = archive_read_data_block(r, &buf, &size, &offset);
        if (rc == ARCHIVE_EOF)
            return true;
        if (rc < ARCHIVE_WARN) {
            zlogf(ZLOG_ERROR, "Failed to copy data: %s", archive_error_string(r));
            return false;
        }
        if (archive_write_data_block(w, buf, size, offset) < ARCHIVE_WARN) {
            zlogf(ZLOG_ERROR, "Failed to copy data: %s", archive_error_string(w));
            return false;
        }
        if (digest)
            digest->add(buf, size, offset);
    }
}

// Remembers the digests of the files written, for the check after the
// unpacking.  Payloads that name a file twice or join files by hard links
// are not remembered at all: there a name may not hold what was hashed.
struct Remembered {
    bool usable = true;
    std::unordered_set<std::string> names;
    bool wants(archive_entry *e) {
        if (!usable)
            return false;
        if (archive_entry_hardlink(e) || !names.insert(archive_entry_pathname(e)).second) {
            usable = false;
            zpm::memo::clear();
            return false;
        }
        return archive_entry_filetype(e) == AE_IFREG;
    }
};

bool extract_entry(archive *r, archive *w, archive_entry *e, const std::string &root,
                   Remembered &memo) {
    const char *why = entry_refusal(e, root);
    if (why) {
        zlogf(ZLOG_ERROR, "Failed to write header by archive_write_header: %s: %s", why,
              archive_entry_pathname(e) ? archive_entry_pathname(e) : "");
        archive_read_data_skip(r);
        return false;
    }
    if (archive_write_header(w, e) < ARCHIVE_WARN) {
        zlogf(ZLOG_ERROR, "Failed to write header by archive_write_header: %s",
              archive_error_string(w));
        archive_read_data_skip(r);
        return false;
    }
    BlockDigest digest;
    const bool remember = memo.wants(e);
    bool ok = archive_entry_size(e) <= 0 || copy_entry_data(r, w, remember ? &digest : nullptr);
    if (archive_write_finish_entry(w) < ARCHIVE_WARN) {
        zlogf(ZLOG_ERROR, "Failed to write archive by archive_write_finish_entry: %s",
              archive_error_string(w));
        ok = false;
    }
    if (ok && remember && digest.in_order && digest.next == archive_entry_size(e))
        zpm::memo::record(archive_entry_pathname(e), digest.hex());
    return ok;
}

ArchiveWriter open_disk_writer() {
    ArchiveWriter w(archive_write_disk_new());
    if (!w)
        return nullptr;
    archive_write_disk_set_options(
        w.get(), ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                     ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS);
    return w;
}

// Unpacks the payload below the working directory.
enum class Unpacked { Ok, NotOpened, Failed };

Unpacked extract_payload(FILE *f) {
    CharBuf real_root(realpath(".", nullptr));
    std::string root = real_root ? real_root.get() : "";
    if (root == "/")
        root.clear(); // every path then begins with the root's own "/"
    std::string err;
    ArchiveReader r = open_payload(f, &err);
    if (!r) {
        zlogf(ZLOG_ERROR, "Failed to read archive by archive_read_open_FILE: %s", err.c_str());
        return Unpacked::NotOpened;
    }
    ArchiveWriter w = open_disk_writer();
    if (!w)
        return Unpacked::Failed;
    bool ok = true;
    archive_entry *e = nullptr;
    int rc;
    zpm::memo::clear();
    Remembered memo;
    while ((rc = archive_read_next_header(r.get(), &e)) == ARCHIVE_OK || rc == ARCHIVE_WARN)
        ok = extract_entry(r.get(), w.get(), e, root, memo) && ok;
    // A damaged or cut payload must not pass for a complete one.
    if (rc != ARCHIVE_EOF) {
        zlogf(ZLOG_ERROR, "Failed to read archive header: %s", archive_error_string(r.get()));
        ok = false;
    }
    if (archive_write_close(w.get()) != ARCHIVE_OK) {
        zlogf(ZLOG_ERROR, "Failed to write archive by archive_write_finish_entry: %s",
              archive_error_string(w.get()));
        ok = false;
    }
    return ok ? Unpacked::Ok : Unpacked::Failed;
}

// Opens the package and leaves the stream at the payload, with the signature
// checked when asked.  nullptr on any failure (already logged).
File open_for_extract(const char *zpf_name, int verify_sig) {
    File f(fopen(zpf_name, "rb"));
    if (!f) {
        zlogf(ZLOG_ERROR, "Failed to open %s for reading", zpf_name);
        return nullptr;
    }
    if (fseeko(f.get(), 0, SEEK_END) != 0) {
        zlogf(ZLOG_ERROR, "Failure going to end of %s: %s", zpf_name, strerror(errno));
        return nullptr;
    }
    off_t size = ftello(f.get());
    if (fseeko(f.get(), 0, SEEK_SET) != 0) {
        zlogf(ZLOG_ERROR, "Failure going to start of %s of size %d: %s", zpf_name,
              static_cast<int>(size), strerror(errno));
        return nullptr;
    }
    ZpiPtr zpi(read_header(f.get(), zpf_name, HeaderMsgs::Extract));
    if (!zpi)
        return nullptr;
    if (!verify_sig) {
        zlogf(ZLOG_DEBUG, "Not verifying the package signature");
        return f;
    }
    zlogf(ZLOG_DEBUG, "Will verify the package signature");
    if (!zpi->rsa_sig_subj) {
        zlogf(ZLOG_ERROR, "No signature subject found");
        return nullptr;
    }
    if (zpi->rsa_sig_data_len <= 0) {
        zlogf(ZLOG_ERROR, "No signature data found");
        return nullptr;
    }
    if (verify_payload(zpi.get(), f.get()) != ZPS_VERIFIED) {
        zlogf(ZLOG_ERROR, "Failure verifying signature of %s", zpf_name);
        return nullptr;
    }
    return f;
}

} // namespace

extern "C" int zpm_zpf_extract(const char *zpf_name, const char *path_name, int verify_sig) {
    if (!zpf_name || !path_name)
        return -1;
    File f = open_for_extract(zpf_name, verify_sig);
    if (!f)
        return -1;
    char cwd[256];
    if (!getcwd(cwd, 255)) {
        zlogf(ZLOG_ERROR, "Failed to read pwd");
        return -1;
    }
    if (chdir(path_name) != 0) {
        zlogf(ZLOG_ERROR, "Failed to change to installation dir %s", path_name);
        return -1;
    }
    Unpacked done = extract_payload(f.get());
    f.reset();
    if (done != Unpacked::Ok) {
        if (done == Unpacked::Failed)
            fputs("Failed to extract archive\n", stderr);
        if (chdir(cwd) != 0)
            zlogf(ZLOG_ERROR, "Failed to return to previous dir %s", cwd);
        return -1;
    }
    if (chdir(cwd) != 0) {
        zlogf(ZLOG_ERROR, "Failed to return to previous dir %s", cwd);
        return -1;
    }
    return 0;
}
