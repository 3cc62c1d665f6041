// Package files: the header reader, and the three readers built on it
// (description and signature, payload index, unpacking).
#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cres.h"
#include "digest_memo.h"
#include "inflate.h"
#include "loglib.h"
#include "recptr.h"
#include "sha1.h"
#include "util.h"
#include "zpf.h"
#include "zpf_hasher.h"
#include "zpf_tree.h"
#include "zpk.h"
#include "zpm.h"
#include "zps.h"

namespace {

using ArchiveReader = std::unique_ptr<archive, c_deleter<archive_read_free>>;

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

// The five-byte decimal length of the description; -1 when unreadable.  The
// field is added to raw.
int read_desc_size(FILE *f, std::string &raw) {
    char field[6] = {0};
    size_t n = fread(field, 1, 5, f);
    raw.append(field, n);
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
// success the stream stands at the first payload byte, and raw (when set)
// holds every byte before it.
ZPI *read_header(FILE *f, const char *name, HeaderMsgs msgs, std::string *raw = nullptr) {
    if (!read_magic(f, name, msgs))
        return nullptr;
    std::string head(kMagic, sizeof kMagic - 1);
    int size = read_desc_size(f, head);
    if (size < 0)
        return nullptr;
    std::string desc(static_cast<size_t>(size), '\0');
    size_t n = size ? fread(desc.data(), 1, desc.size(), f) : 0;
    if (n < desc.size()) {
        zlogf(ZLOG_ERROR, "Only %d of %d bytes read", static_cast<int>(n), size);
        return nullptr;
    }
    if (raw)
        *raw = head + desc;
    ZPI *zpi = zpk_info_parse(name, 3, desc.data(), nullptr);
    if (!zpi && msgs == HeaderMsgs::Extract)
        zlogf(ZLOG_ERROR, "Failed to parse package header");
    return zpi;
}

// What a signature check takes from the memo and gives back to it.
struct Check {
    zpm::pkg::StreamTap tap;
    const zpm::pkg::SigProof *known = nullptr;
    zpm::pkg::SigProof *proof = nullptr;
};

// Verifies the payload from the current position and puts the stream back
// there, so later readers see the whole payload.
int verify_payload(ZPI *zpi, FILE *f, const Check &c = Check()) {
    off_t pos = ftello(f);
    int rc = zpm::pkg::verify_payload(zpi->rsa_sig_subj, zpi->rsa_sig_data_buf,
                                      zpi->rsa_sig_data_len, f, c.tap, c.known, c.proof);
    if (pos < 0 || fseeko(f, pos, SEEK_SET) != 0) {
        zlogf(ZLOG_ERROR, "Failure going back to the payload: %s", strerror(errno));
        rc = ZPS_UNDECIDED;
    }
    zlogf(ZLOG_DEBUG, "rc of zps_verify_rsa: %d", rc);
    return rc;
}

void info_check_signature(ZPI *zpi, FILE *f, const Check &c) {
    if (!zpi->rsa_sig_subj) {
        zlogf(ZLOG_WARNING, "No signature subject found");
        zpi->rsa_verified = ZPS_MISSING;
    } else if (zpi->rsa_sig_data_len <= 0) {
        zlogf(ZLOG_WARNING, "No signature data found");
        zpi->rsa_verified = ZPS_MISSING;
    } else {
        zpi->rsa_verified = verify_payload(zpi, f, c);
    }
}

// A gzip-compressed cpio reader on the stream; *err gets the library's text
// when it cannot be opened.  The fast inflater reads only payloads whose
// signature was verified: it takes some damaged streams (incomplete Huffman
// codes) that zlib refuses, and only signed bytes are known to be undamaged.
ArchiveReader open_payload(FILE *f, bool verified, std::string *err = nullptr) {
    ArchiveReader a(archive_read_new());
    if (!a)
        return nullptr;
    archive_read_support_format_cpio(a.get());
    zpm::pkg::Inflater which = verified ? zpm::pkg::payload_inflater() : zpm::pkg::Inflater::Zlib;
    if (zpm::pkg::open_gzip_stream(a.get(), f, which) != ARCHIVE_OK) {
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

// Opens a package file for reading when it is a regular file: a FIFO or a
// device under a package's name must not block or never end.  Its fstat
// goes to *out when given.
File open_regular_stream(const char *name, struct stat *out = nullptr) {
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat own;
    struct stat &st = out ? *out : own;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        errno = EINVAL;
        fd = -1;
    }
    File f(fd >= 0 ? fdopen(fd, "rb") : nullptr);
    if (fd >= 0 && !f)
        close(fd);
    return f;
}

// The common start of the info and index readers: examine and open the file,
// read its header; the stream is left at the first payload byte.
ZpiPtr open_package(const char *zpf_name, struct stat &st, File &f, std::string *raw = nullptr) {
    if (zpf_name)
        f = open_regular_stream(zpf_name, &st);
    // Why it could not be opened: a name with nothing there is told apart.
    struct stat any;
    if (!zpf_name || (!f && stat(zpf_name, &any) != 0)) {
        zlogf(ZLOG_ERROR, "Failed to stat %s", zpf_name ? zpf_name : "(null)");
        return nullptr;
    }
    if (!f) {
        zlogf(ZLOG_ERROR, "Failed to open %s for reading", zpf_name);
        return nullptr;
    }
    return ZpiPtr(read_header(f.get(), zpf_name, HeaderMsgs::Plain, raw));
}

// Lists the data/ members of the payload; false when the payload cannot be
// read to its end (a cut or damaged package lists nothing).
bool index_payload(FILE *f, NameList &list) {
    ArchiveReader a = open_payload(f, false);
    if (!a) {
        zlogf(ZLOG_ERROR, "Failed to read archive by archive_read_open_FILE");
        return false;
    }
    archive_entry *entry = nullptr;
    int rc;
    while ((rc = archive_read_next_header(a.get(), &entry)) == ARCHIVE_OK || rc == ARCHIVE_WARN) {
        const char *path = archive_entry_pathname(entry);
        if (path && strncmp(path, "data/", 5) == 0 && !list.add(path + 4))
            return false;
        if (archive_read_data_skip(a.get()) != ARCHIVE_OK)
            break;
    }
    if (rc != ARCHIVE_EOF) {
        zlogf(ZLOG_ERROR, "Failed to read archive header: %s", archive_error_string(a.get()));
        return false;
    }
    if (archive_read_free(a.release()) != ARCHIVE_OK) {
        zlogf(ZLOG_ERROR, "Failed to parse archive by archive_read_open_FILE");
        return false;
    }
    return true;
}

} // namespace

namespace {

// The digest of the whole file, taken on the way through the signature
// check: the header first, then every payload byte the check reads; for a
// large package on the hashing thread, beside the check's own digest.
struct WholeDigest {
    zpm::pkg::Hasher hasher;
    uint64_t fed = 0;
    explicit WholeDigest(const std::string &head) {
        hasher.begin();
        add(reinterpret_cast<const unsigned char *>(head.data()), head.size());
    }
    void add(const unsigned char *p, size_t n) {
        hasher.add(p, n, static_cast<int64_t>(fed));
        fed += n;
    }
    // The digest when it covers st's size, else "".
    std::string hex(const struct stat &st) {
        hasher.end(st);
        auto done = hasher.results();
        return done.empty() ? "" : done[0].second;
    }
};

// What is learnt of the package file open at fd (st: its fstat before the
// first byte was read, since: the time then): its digest and, when asked,
// its signature outcome in zpi, each from the memo when the file is the one
// remembered.  "" as digest when the file could not be read.
std::string learn(ZPI *zpi, int fd, FILE *f, const struct stat &st, const std::string &head,
                  bool verify_sig, const struct timespec &since) {
    zpm::memo::PackageFacts facts;
    const bool known = zpm::memo::lookup_package(st, &facts);
    const zpm::pkg::SigProof remembered{facts.signer_key, facts.signature};
    zpm::pkg::SigProof proof;
    WholeDigest whole(head);
    Check c;
    if (!known)
        c.tap = [&whole](const unsigned char *p, size_t n) { whole.add(p, n); };
    c.known = known && !facts.signer_key.empty() ? &remembered : nullptr;
    c.proof = &proof;
    if (verify_sig)
        info_check_signature(zpi, f, c);
    else
        zlogf(ZLOG_DEBUG, "Not verifying the package signature");
    char digest[41] = "";
    // A remembered digest stands; else the one taken on the way, when the
    // check read the whole payload; else the file is read for it.
    if (!known && whole.fed == static_cast<uint64_t>(st.st_size))
        facts.digest = whole.hex(st);
    if (!known && facts.digest.empty() && lseek(fd, 0, SEEK_SET) == 0 &&
        zpm::sha1_fd(fd, 'x', digest))
        facts.digest = digest;
    struct stat now;
    if (!proof.key.empty())
        facts.signer_key = proof.key, facts.signature = proof.sig;
    if (fstat(fd, &now) == 0 && zpm::memo::same_file(st, now))
        zpm::memo::record_package(now, facts, &since);
    return facts.digest;
}

} // namespace

extern "C" ZPI *zpm_zpf_info(const char *zpf_name, int verify_sig) {
    const struct timespec since = zpm::memo::read_start();
    struct stat st;
    File f;
    std::string head;
    ZpiPtr zpi = open_package(zpf_name, st, f, &head);
    if (!zpi)
        return nullptr;
    free(zpi->rel_uri);
    zpi->rel_uri = strdup(zpf_name);
    free(zpi->abs_uri);
    zpi->abs_uri = realpath(zpf_name, nullptr);
    zpi->filesize = static_cast<uint64_t>(st.st_size);
    const std::string digest =
        learn(zpi.get(), fileno(f.get()), f.get(), st, head, verify_sig != 0, since);
    if (!digest.empty()) {
        free(zpi->filehash);
        zpi->filehash = strdup(digest.c_str());
    }
    return zpi.release();
}

ZPI *zpm::pkg::read_head(const char *zpf_name) {
    struct stat st;
    File f;
    return open_package(zpf_name, st, f).release();
}

bool zpm::pkg::read_index(const char *zpf_name, char ***out) {
    *out = nullptr;
    struct stat st;
    File f;
    ZpiPtr zpi = open_package(zpf_name, st, f);
    if (!zpi)
        return false;
    NameList list;
    if (!index_payload(f.get(), list)) {
        list.clear();
        return false;
    }
    *out = list.items;
    return true;
}

extern "C" char **zpm_zpf_index(ZPM * /*zpm*/, const char *zpf_name) {
    char **list = nullptr;
    zpm::pkg::read_index(zpf_name, &list);
    return list;
}

namespace {

// The signature check of an unpacking: when this very file was checked
// before (while planning, or as it was copied into the stage) the payload
// is not read twice.
int verify_for_extract(ZPI *zpi, FILE *f) {
    struct stat st;
    zpm::memo::PackageFacts facts;
    zpm::pkg::SigProof known;
    Check c;
    if (fstat(fileno(f), &st) == 0 && zpm::memo::lookup_package(st, &facts) &&
        !facts.signer_key.empty()) {
        known = zpm::pkg::SigProof{facts.signer_key, facts.signature};
        c.known = &known;
    }
    return verify_payload(zpi, f, c);
}

// Opens the package and leaves the stream at the payload, with the signature
// checked when asked.  nullptr on any failure (already logged).
File open_for_extract(const char *zpf_name, int verify_sig) {
    File f(open_regular_stream(zpf_name));
    if (!f) {
        zlogf(ZLOG_ERROR, "Failed to open %s for reading", zpf_name);
        return nullptr;
    }
    // Seeks on the descriptor: the stream has read nothing yet, so it starts
    // wherever the descriptor stands, and no buffer is filled for nothing.
    const int fd = fileno(f.get());
    const off_t size = lseek(fd, 0, SEEK_END);
    if (size < 0) {
        zlogf(ZLOG_ERROR, "Failure going to end of %s: %s", zpf_name, strerror(errno));
        return nullptr;
    }
    if (lseek(fd, 0, SEEK_SET) != 0) {
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
    if (verify_for_extract(zpi.get(), f.get()) != ZPS_VERIFIED) {
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
    // Everything is written relative to this descriptor; the working
    // directory is never changed.
    Fd root(open(path_name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (root.get() < 0) {
        zlogf(ZLOG_ERROR, "Failed to change to installation dir %s", path_name);
        return -1;
    }
    std::string err;
    ArchiveReader r = open_payload(f.get(), verify_sig != 0, &err);
    if (!r) {
        zlogf(ZLOG_ERROR, "Failed to read archive by archive_read_open_FILE: %s", err.c_str());
        return -1;
    }
    if (!zpm::pkg::unpack_payload(r.get(), root.get())) {
        fputs("Failed to extract archive\n", stderr);
        return -1;
    }
    return 0;
}
