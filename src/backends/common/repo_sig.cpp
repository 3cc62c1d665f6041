// Reading and writing the signature file of a repository index.
#include "repo_sig.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "zpm/zpc.h"

namespace zpcrepo {

namespace {

constexpr const char *kSigHeader = "# zpm index signature 1";
const char *const kFields[] = {"index", "sha256", "size", "generated", "valid-until", "signer"};

bool is_hex64(const std::string &s) {
    if (s.size() != 64)
        return false;
    for (char ch : s)
        if (!((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f')))
            return false;
    return true;
}

bool parse_size(const std::string &s, uint64_t &out) {
    // One spelling per number: the fields are read back as they were signed.
    if (s.empty() || s.size() > 19 || s.find_first_not_of("0123456789") != std::string::npos ||
        (s[0] == '0' && s.size() > 1))
        return false;
    out = std::stoull(s);
    return true;
}

// Splits text into its lines; false when the text does not end a line.
bool lines_of(const std::string &text, std::vector<std::string> &lines) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            return false;
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return true;
}

// The value of line "<name>: value", or false.
bool field(const std::string &line, const char *name, std::string &value) {
    size_t n = strlen(name);
    if (line.compare(0, n, name) != 0 || line.compare(n, 2, ": ") != 0)
        return false;
    value = line.substr(n + 2);
    return true;
}

bool decode_signature(const std::string &b64, std::string &out) {
    out.assign(b64.size(), '\0');
    int n = lutil_b64_pton(b64.c_str(), reinterpret_cast<unsigned char *>(out.data()), out.size());
    if (n <= 0)
        return false;
    out.resize(static_cast<size_t>(n));
    return true;
}

bool take_fields(const std::vector<std::string> &v, IndexSig &sig, std::string &why) {
    std::string value[6];
    for (size_t i = 0; i < 6; i++) {
        if (!field(v[i + 1], kFields[i], value[i])) {
            why = std::string("no ") + kFields[i] + " line where expected";
            return false;
        }
    }
    sig.sha256 = value[1];
    sig.generated = parse_utc(value[3]);
    sig.valid_until = parse_utc(value[4]);
    sig.signer = value[5];
    if (value[0] != "index.ldif" || !is_hex64(sig.sha256) || !parse_size(value[2], sig.size) ||
        sig.generated < 0 || sig.valid_until < 0 || sig.signer.empty()) {
        why = "a field has a value it cannot have";
        return false;
    }
    return true;
}

} // namespace

std::string utc_text(time_t t) {
    struct tm tm;
    char buf[32];
    if (!gmtime_r(&t, &tm) || !strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm))
        return "?";
    return buf;
}

time_t parse_utc(const std::string &text) {
    struct tm tm = {};
    int used = 0;
    if (text.size() != 20 ||
        sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
               &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &used) != 6 ||
        used != 20)
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    time_t t = timegm(&tm);
    return utc_text(t) == text ? t : -1; // refuses 2024-13-45 and the like
}

std::string sig_text(const IndexSig &sig) {
    std::string t = std::string(kSigHeader) + "\n";
    t += "index: index.ldif\n";
    t += "sha256: " + sig.sha256 + "\n";
    t += "size: " + std::to_string(sig.size) + "\n";
    t += "generated: " + utc_text(sig.generated) + "\n";
    t += "valid-until: " + utc_text(sig.valid_until) + "\n";
    t += "signer: " + sig.signer + "\n";
    return t;
}

bool parse_sig(const std::string &text, IndexSig &sig, std::string &why) {
    std::vector<std::string> v;
    std::string b64;
    if (text.size() > kSigMaxSize || !lines_of(text, v) || v.size() != 8 || v[0] != kSigHeader) {
        why = "not an index signature file";
        return false;
    }
    if (!take_fields(v, sig, why))
        return false;
    if (!field(v[7], "signature", b64) || !decode_signature(b64, sig.signature)) {
        why = "no readable signature line";
        return false;
    }
    sig.signed_text = text.substr(0, text.size() - v[7].size() - 1);
    return true;
}

} // namespace zpcrepo
