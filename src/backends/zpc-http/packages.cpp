// zpc-http: package files.  They are fetched into the cache (in parallel
// when zpm announces a transaction's downloads), checked against their
// record's size and SHA-1 there, and only then copied into zpm's stream.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_set>

#include <openssl/evp.h>

#include "http.h"
#include "transfer.h"

namespace zpchttp {

using zpcrepo::kDebug;
using zpcrepo::kError;
using zpcrepo::kWarning;
using zpcrepo::logf;

namespace {

using MdCtx = std::unique_ptr<EVP_MD_CTX, zpcrepo::Deleter<EVP_MD_CTX_free>>;

bool is_sha1(const char *h) {
    if (!h || strlen(h) != 40)
        return false;
    for (const char *p = h; *p; p++)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f')))
            return false;
    return true;
}

// Only records that name a file directly below the repository, with a
// digest and a size within the cap, are fetched: a record handed back to us
// never makes us ask for anything else.
bool usable(const Config &cfg, const ZPI *z, std::string &why) {
    const char *rel = z ? z->rel_uri : nullptr;
    if (!rel || !*rel || rel[0] == '.' || strchr(rel, '/') || strchr(rel, '?') || strchr(rel, '#'))
        why = "no usable location";
    else if (!is_sha1(z->filehash))
        why = "no SHA-1";
    else if (z->filesize == 0 || z->filesize > cfg.max_package)
        why = "a size of " + std::to_string(z->filesize) + " bytes (the cap is " +
              std::to_string(cfg.max_package) + ")";
    return why.empty();
}

std::string name_of(const ZPI *z) {
    return z && z->name ? zpk_puname(z) : "(unnamed)";
}

std::string cache_file(const Config &cfg, const ZPI *z) {
    return cfg.cache + "/packages/" + z->filehash + ".zpk";
}

// A file this run fetched and checked is not digested again here: the copy
// into zpm's stream digests it anyway.
bool cached_whole(const Conn &c, const ZPI *z) {
    struct stat st;
    const std::string path = cache_file(c.cfg, z);
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           static_cast<uint64_t>(st.st_size) == z->filesize &&
           (c.ready.count(z->filehash) || sha1_file_hex(path) == z->filehash);
}

std::unique_ptr<Transfer> package_transfer(const Config &cfg, const ZPI *z) {
    auto t = std::make_unique<Transfer>();
    t->mirrors = cfg.mirrors;
    t->rel = z->rel_uri;
    t->max = z->filesize;
    t->exact = true;
    t->part = cache_file(cfg, z) + ".part";
    std::string want = z->filehash;
    t->check = [want](Transfer &tr, std::string &why) {
        std::string got = sha1_file_hex(tr.part);
        if (got == want)
            return true;
        why = "the file's SHA-1 is " + (got.empty() ? std::string("unreadable") : got) +
              ", the index says " + want;
        return false;
    };
    return t;
}

// Fetches the records into the cache; false when one or more could not be
// had (each remembered and logged).
bool fetch(Conn &c, const std::vector<const ZPI *> &recs, size_t parallel) {
    const std::string dir = c.cfg.cache + "/packages";
    if (!make_dirs(dir)) {
        logf(kError, "cannot make %s: %s", dir.c_str(), strerror(errno));
        return false;
    }
    std::vector<std::unique_ptr<Transfer>> owned;
    std::vector<Transfer *> ts;
    for (const ZPI *z : recs) {
        owned.push_back(package_transfer(c.cfg, z));
        ts.push_back(owned.back().get());
    }
    run_transfers(c, ts, parallel);
    bool all = true;
    for (size_t i = 0; i < recs.size(); i++) {
        const std::string final_name = cache_file(c.cfg, recs[i]);
        if (ts[i]->ok && rename(ts[i]->part.c_str(), final_name.c_str()) == 0) {
            c.ready.insert(recs[i]->filehash);
            continue;
        }
        all = false;
        c.failed.insert(recs[i]->filehash);
        logf(kError, "cannot fetch %s from any mirror: %s", name_of(recs[i]).c_str(),
             ts[i]->ok ? strerror(errno) : ts[i]->why.c_str());
    }
    return all;
}

// Copies the cached file into out, counting and digesting what is written;
// the count, or -1 when the file is not the record's.
int copy_checked(const std::string &path, const ZPI *z, FILE *out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    MdCtx ctx(EVP_MD_CTX_new());
    if (fd < 0 || !ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    std::vector<char> buf(1 << 16);
    uint64_t total = 0;
    ssize_t n;
    while ((n = read(fd, buf.data(), buf.size())) > 0 && total + n <= z->filesize) {
        EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<size_t>(n));
        if (fwrite(buf.data(), 1, static_cast<size_t>(n), out) != static_cast<size_t>(n))
            break;
        total += static_cast<uint64_t>(n);
    }
    close(fd);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    char hex[41] = "";
    if (EVP_DigestFinal_ex(ctx.get(), md, &len) == 1 && len == 20)
        for (unsigned int i = 0; i < len; i++)
            snprintf(hex + 2 * i, 3, "%02x", md[i]);
    if (n != 0 || total != z->filesize || strcmp(hex, z->filehash) != 0)
        return -1;
    return static_cast<int>(total);
}

} // namespace

int prefetch_packages(Conn &c, ZPI **list) {
    std::vector<const ZPI *> recs;
    std::unordered_set<std::string> seen;
    for (ZPI **p = list; p && *p; p++) {
        std::string why;
        if (!usable(c.cfg, *p, why)) {
            logf(kWarning, "not fetching %s: its record has %s", name_of(*p).c_str(), why.c_str());
            continue;
        }
        if (seen.insert((*p)->filehash).second && !cached_whole(c, *p) &&
            !c.failed.count((*p)->filehash))
            recs.push_back(*p);
    }
    logf(kDebug, "prefetching %zu packages, %d at once", recs.size(), c.cfg.parallel);
    return recs.empty() || fetch(c, recs, static_cast<size_t>(c.cfg.parallel)) ? 0 : -1;
}

int read_package(Conn &c, const ZPI *z, FILE *out) {
    std::string why;
    if (!usable(c.cfg, z, why)) {
        logf(kError, "cannot fetch %s: its record has %s", name_of(z).c_str(), why.c_str());
        return -1;
    }
    if (c.failed.count(z->filehash)) {
        logf(kError, "cannot fetch %s: no mirror delivered it", name_of(z).c_str());
        return -1;
    }
    if (!cached_whole(c, z) && !fetch(c, {z}, 1))
        return -1;
    const std::string path = cache_file(c.cfg, z);
    int n = copy_checked(path, z, out);
    if (n < 0)
        logf(kError, "cannot hand over %s: %s changed in the cache", name_of(z).c_str(),
             path.c_str());
    unlink(path.c_str()); // zpm keeps the staged copy
    c.ready.erase(z->filehash);
    return n;
}

} // namespace zpchttp
