// zpc-http: the repository index.  The cache holds the last good index and
// what is known of it (index.meta); a refresh replaces both only with an
// index whose signature, digest, age and validity pass, so searches always
// answer from a good index, also offline.
#include <cstring>
#include <ctime>

#include "http.h"
#include "repo_sig.h"
#include "transfer.h"

namespace zpchttp {

using zpcrepo::kDebug;
using zpcrepo::kError;
using zpcrepo::kInfo;
using zpcrepo::kWarning;
using zpcrepo::logf;

namespace {

constexpr const char *kMetaName = "index.meta";
constexpr const char *kMetaHeader = "# zpc-http cache 1";

// What the cache knows of its index.
struct Meta {
    bool valid = false;
    std::string mirror, etag, since, sha256;
    time_t generated = 0, valid_until = 0; // 0: unsigned
};

std::string meta_text(const Meta &m) {
    return std::string(kMetaHeader) + "\nmirror: " + m.mirror + "\netag: " + m.etag +
           "\nlast-modified: " + m.since + "\nsha256: " + m.sha256 +
           "\ngenerated: " + std::to_string(m.generated) +
           "\nvalid-until: " + std::to_string(m.valid_until) + "\n";
}

bool meta_field(const std::string &text, const char *name, std::string &out) {
    std::string key = std::string("\n") + name + ": ";
    size_t at = text.find(key);
    if (at == std::string::npos)
        return false;
    size_t start = at + key.size(), end = text.find('\n', start);
    out = text.substr(start, end == std::string::npos ? end : end - start);
    return true;
}

Meta load_meta(const Config &cfg) {
    Meta m;
    std::string text, gen, until;
    if (!read_small_file(cfg.cache + "/" + kMetaName, 16384, text) ||
        text.compare(0, strlen(kMetaHeader), kMetaHeader) != 0)
        return m;
    m.valid = meta_field(text, "mirror", m.mirror) && meta_field(text, "etag", m.etag) &&
              meta_field(text, "last-modified", m.since) && meta_field(text, "sha256", m.sha256) &&
              meta_field(text, "generated", gen) && meta_field(text, "valid-until", until);
    m.generated = m.valid ? strtoll(gen.c_str(), nullptr, 10) : 0;
    m.valid_until = m.valid ? strtoll(until.c_str(), nullptr, 10) : 0;
    return m;
}

// The cached index when it is the one the cache's record describes.
bool cached_index(const Config &cfg, const Meta &m, std::string &text) {
    return m.valid && read_small_file(cfg.cache + "/" + zpcrepo::kIndexName, cfg.max_index, text) &&
           sha256_hex(text) == m.sha256;
}

// Index first, its record last: a record never describes an index that is
// not there.
bool store(const Config &cfg, const std::string *index, const Meta &m, std::string &why) {
    if (!make_dirs(cfg.cache)) {
        why = "cannot make " + cfg.cache + ": " + strerror(errno);
        return false;
    }
    return (!index || write_settled(cfg.cache, zpcrepo::kIndexName, *index, why)) &&
           write_settled(cfg.cache, kMetaName, meta_text(m), why);
}

const char *trust_failure(int rc) {
    switch (rc) {
    case -2:
        return "its signer's certificate is not in the certificate store";
    case -3:
        return "its signature does not match (the index or its signature was altered)";
    case -4:
        return "the signer's certificate has expired";
    case -5:
        return "the signer's certificate is not valid yet";
    default:
        return "its signature could not be checked";
    }
}

// One file of the repository from one mirror (the caller goes over them).
bool fetch_small(const std::string &mirror, Transfer &t, Conn &c, const char *rel, uint64_t max) {
    t.mirrors.assign(1, mirror);
    t.rel = rel;
    t.max = max;
    run_transfers(c, {&t}, 1);
    return t.ok;
}

} // namespace

namespace {

// A signed index is taken only while valid, and never older than the one
// the cache holds (an old index replayed would hide updates).  One of the
// same time is taken: only the publisher can sign, and a publisher may well
// sign twice within a second.
bool fresh(const zpcrepo::IndexSig &sig, const Meta &cur, std::string &why) {
    if (time(nullptr) > sig.valid_until) {
        why = "it expired on " + zpcrepo::utc_text(sig.valid_until) + " (generated " +
              zpcrepo::utc_text(sig.generated) + ")";
        return false;
    }
    if (cur.valid && sig.generated < cur.generated) {
        why = "it was generated on " + zpcrepo::utc_text(sig.generated) +
              ", before the cached index (" + zpcrepo::utc_text(cur.generated) + ")";
        return false;
    }
    return true;
}

bool fetch_signature(Conn &c, const std::string &mirror, const Meta &cur, zpcrepo::IndexSig &sig,
                     std::string &why) {
    Transfer t;
    if (!fetch_small(mirror, t, c, zpcrepo::kSigName, zpcrepo::kSigMaxSize)) {
        why = std::string("no signature ") + zpcrepo::kSigName + " (" + t.why + ")";
        return false;
    }
    if (!zpcrepo::parse_sig(t.body, sig, why)) {
        why = std::string(zpcrepo::kSigName) + " is not readable: " + why;
        return false;
    }
    int rc = zpm_verify_detached(sig.signer.c_str(), sig.signed_text.data(), sig.signed_text.size(),
                                 reinterpret_cast<const unsigned char *>(sig.signature.data()),
                                 sig.signature.size());
    if (rc != 1) {
        why = std::string(trust_failure(rc)) + " (signer " + sig.signer + ")";
        return false;
    }
    return fresh(sig, cur, why);
}

// An index that passed every check, or the word that the cached one stands.
struct Candidate {
    Meta meta;
    std::string index;
    bool unchanged = false;
};

bool take_index(Transfer &t, const std::string &mirror, const zpcrepo::IndexSig *sig,
                Candidate &cand, std::string &why) {
    const std::string sha = sha256_hex(t.body);
    if (sig && sha != sig->sha256) {
        why = "the index does not match its signature (altered, or cut short)";
        return false;
    }
    std::vector<ZpiPtr> recs;
    if (zpcrepo::parse_index(mirror, t.body, recs, why) != zpcrepo::ReadStatus::ok) {
        why = "the index is damaged: " + why;
        return false;
    }
    cand.meta = Meta{true,
                     mirror,
                     t.got_etag,
                     t.got_since,
                     sha,
                     sig ? sig->generated : 0,
                     sig ? sig->valid_until : 0};
    cand.index = std::move(t.body);
    return true;
}

bool try_mirror(Conn &c, const std::string &mirror, const Meta &cur, Candidate &cand,
                std::string &why) {
    const Config &cfg = c.cfg;
    zpcrepo::IndexSig sig;
    const bool is_signed = !cfg.allow_unsigned;
    if (is_signed && !fetch_signature(c, mirror, cur, sig, why))
        return false;
    std::string cached;
    const bool have_cached = cached_index(cfg, cur, cached);
    cand.meta = cur;
    if (is_signed && sig.size > cfg.max_index) {
        why = "the index is larger than zpc_http_max_index_mb allows";
        return false;
    }
    Transfer t;
    t.exact = is_signed;
    if (have_cached && cur.mirror == mirror)
        t.etag = cur.etag, t.since = cur.since;
    if (!fetch_small(mirror, t, c, zpcrepo::kIndexName, is_signed ? sig.size : cfg.max_index)) {
        why = std::string("no index (") + t.why + ")";
        return false;
    }
    if (t.not_modified && is_signed && sig.sha256 != cur.sha256) {
        why = "the server calls the index unchanged, but its signature names another one";
        return false;
    }
    if (t.not_modified) { // the signature may be new: it can extend the validity
        cand.meta.generated = is_signed ? sig.generated : 0;
        cand.meta.valid_until = is_signed ? sig.valid_until : 0;
        return cand.unchanged = true;
    }
    return take_index(t, mirror, is_signed ? &sig : nullptr, cand, why);
}

} // namespace

int refresh_index(Conn &c) {
    const Meta cur = load_meta(c.cfg);
    const std::vector<std::string> &mirrors = c.cfg.mirrors;
    for (size_t i = 0; i < mirrors.size(); i++) {
        Candidate cand;
        std::string why;
        if (!try_mirror(c, mirrors[i], cur, cand, why)) {
            logf(i + 1 < mirrors.size() ? kWarning : kError, "refused the index of %s: %s",
                 mirrors[i].c_str(), why.c_str());
            continue;
        }
        if (!store(c.cfg, cand.unchanged ? nullptr : &cand.index, cand.meta, why)) {
            logf(kError, "%s", why.c_str());
            return -1;
        }
        logf(kInfo, "%s index of %s%s%s", cand.unchanged ? "unchanged" : "new", mirrors[i].c_str(),
             cand.meta.valid_until ? ", valid until " : " (unsigned)",
             cand.meta.valid_until ? zpcrepo::utc_text(cand.meta.valid_until).c_str() : "");
        c.loaded = false;
        return 0;
    }
    logf(kError, "no mirror gave a usable index; %s",
         cur.valid ? "searches go on from the cached one" : "there is no cached index yet");
    return -1;
}

void load_cached_index(Conn &c) {
    c.entries.clear();
    c.loaded = true;
    const Meta m = load_meta(c.cfg);
    std::string text, why;
    if (!m.valid) {
        if (!c.told_no_index)
            logf(kError, "no index in %s yet: run zpm -R to fetch one from %s", c.cfg.cache.c_str(),
                 c.cfg.mirrors[0].c_str());
        c.told_no_index = true;
        return;
    }
    if (!cached_index(c.cfg, m, text)) {
        logf(kError, "the cached index in %s is damaged: run zpm -R", c.cfg.cache.c_str());
        return;
    }
    if (zpcrepo::parse_index(c.cfg.mirrors[0], text, c.entries, why) != zpcrepo::ReadStatus::ok) {
        logf(kError, "the cached index in %s is damaged (%s): run zpm -R", c.cfg.cache.c_str(),
             why.c_str());
        return;
    }
    if (m.valid_until && time(nullptr) > m.valid_until && !c.told_expired)
        logf(kWarning, "the cached index expired on %s: run zpm -R for a current one",
             zpcrepo::utc_text(m.valid_until).c_str());
    c.told_expired = true;
    zpcrepo::sort_by_name(c.entries);
    logf(kDebug, "%zu packages in the cached index", c.entries.size());
}

} // namespace zpchttp
