// The package information record: parsing a description, copying, freeing,
// and the small helpers every area uses on records.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fnmatch.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "arr.h"
#include "ekva.h"
#include "ldiflib.h"
#include "loglib.h"
#include "zpk.h"
#include "zpm.h"

namespace {

struct ArchName {
    int id;
    const char *name;
};

constexpr ArchName kArchNames[] = {
    {ZPK_ARCH_ANY, "any"},
    {ZPK_ARCH_I686, "i686"},
    {ZPK_ARCH_X86_64, "x86_64"},
    {ZPK_ARCH_MIPS, "mips"},
};

// One LDIF text, its attribute lines read once (a scan per value would make
// a long list of dependencies quadratic).
struct Text {
    explicit Text(char *buf) : entry(buf, static_cast<int>(strlen(buf))) {}
    zpm::ldif::Entry entry;
};

// Fetches the seq-th value of attr as a NUL-terminated malloc'ed string.
// Values that arrive base64-decoded are not terminated by the LDIF reader,
// so the copy is always cut at the value's length.  The result is NULL when
// the attribute line does not exist; *len_out receives the value length.
char *fetch_str(const Text &t, const char *attr, int seq, int *len_out = nullptr) {
    const std::string *v = t.entry.get(attr, seq);
    if (len_out)
        *len_out = v ? static_cast<int>(v->size()) : 0;
    return v ? strndup(v->data(), v->size()) : nullptr;
}

// The largest number a description may carry: sizes and times are signed
// 64-bit quantities on the system.
constexpr uint64_t kNumberMax = INT64_MAX;

// Reads a decimal attribute strictly.  Absent or empty: true, *out untouched.
// Anything but digits, or a value above kNumberMax: false.
bool fetch_number(const Text &t, const char *attr, int seq, uint64_t *out) {
    char *s = fetch_str(t, attr, seq);
    bool ok = !s || !*s || zpm::pkg::read_decimal(s, kNumberMax, out);
    free(s);
    return ok;
}

// A size attribute of a description: one that is not a number leaves 0, as
// before; a negative or too large one is no number either (it used to wrap
// around to a size near 2^64).
bool parse_size(const Text &t, const char *attr, uint64_t *out) {
    if (fetch_number(t, attr, 1, out))
        return true;
    char *v = fetch_str(t, attr, 1);
    zlogf(ZLOG_DEBUG, "zpk_info_parse: %s is not a size: %s", attr, v ? v : "");
    free(v);
    *out = 0;
    return true;
}

bool parse_format(const Text &d) {
    int len = 0;
    char *v = fetch_str(d, "ezpmVersion", 1, &len);
    if (!v || len == 0) {
        free(v);
        zlogf(ZLOG_INFO, "zpk_info_parse: Unspecified package format");
        return false;
    }
    bool ok = strcmp(v, "1.0") == 0;
    if (!ok)
        zlogf(ZLOG_INFO, "zpk_info_parse: Unknown package format %s", v);
    else
        zlogf(ZLOG_DEBUG, "Package format: %d", 1);
    free(v);
    return ok;
}

bool parse_arch(const Text &d, ZPI *zpi) {
    int len = 0;
    char *v = fetch_str(d, "ezpkArchitecture", 1, &len);
    if (!v || len == 0) {
        free(v);
        zlogf(ZLOG_INFO, "zpk_info_parse: Unspecified architecture\n");
        return false;
    }
    zpi->arch = zpk_arch_getid(v);
    bool ok = zpi->arch != ZPK_ARCH_UNKNOWN;
    if (!ok)
        zlogf(ZLOG_INFO, "zpk_info_parse: Unsupported architecture: %s\n", v);
    free(v);
    return ok;
}

void parse_deps(const Text &d, ZPI *zpi) {
    const std::vector<std::string> &deps = d.entry.all("ezpkDependency");
    if (deps.empty())
        return;
    zpi->deps = static_cast<char **>(calloc(deps.size() + 1, sizeof(char *)));
    if (!zpi->deps)
        return;
    for (size_t i = 0; i < deps.size(); i++)
        zpi->deps[i] = strndup(deps[i].data(), deps[i].size());
}

void parse_signature(const Text &d, ZPI *zpi) {
    zpi->rsa_sig_subj = fetch_str(d, "ezpkRsaSigSubj", 1);
    const std::string *sig = d.entry.get("ezpkRsaSigData", 1);
    if (!sig || sig->empty() || sig->size() > INT_MAX)
        return;
    zpi->rsa_sig_data_buf = static_cast<unsigned char *>(malloc(sig->size()));
    if (!zpi->rsa_sig_data_buf)
        return;
    memcpy(zpi->rsa_sig_data_buf, sig->data(), sig->size());
    zpi->rsa_sig_data_len = static_cast<int>(sig->size());
}

// The description proper: everything common to the three types.
bool parse_description(const Text &d, ZPI *zpi) {
    if (!parse_format(d))
        return false;
    zpi->name = fetch_str(d, "ezpkName", 1);
    if (!zpi->name)
        return false;
    zpi->variant = fetch_str(d, "ezpkVariant", 1);
    zpi->version = fetch_str(d, "ezpkVersion", 1);
    if (!zpi->version)
        return false;
    if (!parse_arch(d, zpi))
        return false;
    zpi->creator = fetch_str(d, "ezpkCreator", 1);
    zpi->desc = fetch_str(d, "ezpkDescription", 1);
    parse_deps(d, zpi);
    if (!parse_size(d, "ezpkDataSize", &zpi->datasize))
        return false;
    zpi->filehash = fetch_str(d, "ezpkFileHash", 1);
    parse_signature(d, zpi);
    return true;
}

bool parse_file_location(const Text &d, ZPI *zpi) {
    if (!parse_size(d, "ezpkFileSize", &zpi->filesize))
        return false;
    zpi->abs_uri = fetch_str(d, "ezpkAbsoluteURI", 1);
    zpi->rel_uri = fetch_str(d, "ezpkRelativeURI", 1);
    return true;
}

bool parse_install_time(const Text &in, ZPI *zpi) {
    int len = 0;
    char *v = fetch_str(in, "ezpkInstallTime", 1, &len);
    if (!v || len == 0) {
        free(v);
        zlogf(ZLOG_ERROR, "zpk_info_parse: No install time found, package is corrupt");
        return false;
    }
    uint64_t t = 0;
    bool ok = zpm::pkg::read_decimal(v, kNumberMax, &t);
    free(v);
    if (!ok) {
        zlogf(ZLOG_ERROR, "zpk_info_parse: Failed to parse install time");
        return false;
    }
    zpi->install_time = static_cast<time_t>(t);
    return true;
}

bool parse_update_times(const Text &in, ZPI *zpi) {
    int n = in.entry.count("ezpkUpdateTime");
    if (n <= 0)
        return true;
    zpi->update_time = static_cast<time_t *>(calloc(static_cast<size_t>(n) + 1, sizeof(time_t)));
    if (!zpi->update_time)
        return false;
    for (int i = 0; i < n; i++) {
        int len = 0;
        char *v = fetch_str(in, "ezpkUpdateTime", i + 1, &len);
        if (!v || len == 0) {
            free(v);
            zlogf(ZLOG_ERROR, "zpk_info_parse: Failure reading update time, package is corrupt");
            return false;
        }
        uint64_t t = 0;
        bool ok = zpm::pkg::read_decimal(v, kNumberMax, &t);
        free(v);
        if (!ok) {
            zlogf(ZLOG_ERROR, "zpk_info_parse: Failed to parse update time");
            return false;
        }
        zpi->update_time[i] = static_cast<time_t>(t);
    }
    return true;
}

bool parse_install_type(const Text &in, ZPI *zpi) {
    int len = 0;
    char *v = fetch_str(in, "ezpkInstallType", 1, &len);
    if (!v || len == 0) {
        free(v);
        zlogf(ZLOG_ERROR, "zpk_info_parse: No install type found, package is corrupt");
        return false;
    }
    char c = 0;
    bool ok = sscanf(v, "%c", &c) == 1;
    free(v);
    if (!ok) {
        zlogf(ZLOG_ERROR, "zpk_info_parse: Failed to parse install type");
        return false;
    }
    if (c != 'D' && c != 'X') {
        zlogf(ZLOG_ERROR, "zpk_info_parse: Invalid install type: %c", c);
        return false;
    }
    zpi->install_type = c;
    if (c == 'X')
        return true;
    zpi->install_head = fetch_str(in, "ezpkInstallHead", 1, &len);
    if (!zpi->install_head || len == 0) {
        zlogf(ZLOG_ERROR, "zpk_info_parse: No install head found, package is corrupt");
        return false;
    }
    return true;
}

bool parse_install(char *inst, ZPI *zpi) {
    if (!inst) {
        zlogf(ZLOG_ERROR, "zpk_info_parse: No install info found, package is corrupt");
        return false;
    }
    Text in(inst);
    return parse_install_time(in, zpi) && parse_update_times(in, zpi) &&
           parse_install_type(in, zpi);
}

char *dup_or_null(const char *s) {
    return s ? strdup(s) : nullptr;
}

} // namespace

bool zpm::pkg::read_decimal(const char *s, uint64_t max, uint64_t *out) {
    if (!s || !*s)
        return false;
    uint64_t v = 0;
    for (const char *p = s; *p; p++) {
        if (*p < '0' || *p > '9')
            return false;
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (v > (max - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    *out = v;
    return true;
}

extern "C" {

ZPI *zpk_info_parse(const char * /*zpl_name*/, int type, char *desc, char *inst) {
    ZPI *zpi = static_cast<ZPI *>(calloc(1, sizeof(ZPI)));
    if (!zpi)
        return nullptr;
    zpi->removable = 1;
    // Descriptions come from packages and catalogues: a value such as
    // "ezpkDescription:< /etc/shadow" must not read a local file.
    int file_refs = ldif_file_refs(0);
    bool ok = desc != nullptr;
    if (ok) {
        Text d(desc);
        ok = parse_description(d, zpi);
        if (ok && type == 1)
            ok = parse_file_location(d, zpi);
        else if (ok && type == 2)
            ok = parse_install(inst, zpi);
    }
    ldif_file_refs(file_refs);
    if (!ok) {
        zpk_info_free(zpi);
        return nullptr;
    }
    return zpi;
}

ZPI *zpk_info_copy(const ZPI *src) {
    if (!src)
        return nullptr;
    ZPI *c = static_cast<ZPI *>(calloc(1, sizeof(ZPI)));
    if (!c)
        return nullptr;
    c->name = dup_or_null(src->name);
    c->variant = dup_or_null(src->variant);
    c->version = dup_or_null(src->version);
    c->creator = dup_or_null(src->creator);
    c->arch = src->arch;
    c->desc = dup_or_null(src->desc);
    c->deps = arr_copy(src->deps);
    c->removable = src->removable;
    c->datasize = src->datasize;
    c->filesize = src->filesize;
    c->filehash = dup_or_null(src->filehash);
    c->abs_uri = dup_or_null(src->abs_uri);
    c->rel_uri = dup_or_null(src->rel_uri);
    c->install_time = src->install_time;
    c->install_type = src->install_type;
    c->install_head = dup_or_null(src->install_head);
    if (src->update_time) {
        size_t n = 0;
        while (src->update_time[n])
            n++;
        c->update_time = static_cast<time_t *>(calloc(n + 1, sizeof(time_t)));
        if (c->update_time)
            memcpy(c->update_time, src->update_time, n * sizeof(time_t));
    }
    c->rsa_sig_subj = dup_or_null(src->rsa_sig_subj);
    if (src->rsa_sig_data_len >= 1 && src->rsa_sig_data_buf) {
        size_t n = static_cast<size_t>(src->rsa_sig_data_len);
        c->rsa_sig_data_buf = static_cast<unsigned char *>(malloc(n));
        if (c->rsa_sig_data_buf) {
            memcpy(c->rsa_sig_data_buf, src->rsa_sig_data_buf, n);
            c->rsa_sig_data_len = src->rsa_sig_data_len;
        }
    }
    c->rsa_verified = src->rsa_verified;
    return c;
}

void zpk_info_free(ZPI *zpi) {
    if (!zpi)
        return;
    free(zpi->name);
    free(zpi->variant);
    free(zpi->version);
    free(zpi->creator);
    free(zpi->desc);
    free(zpi->clog);
    if (zpi->deps) {
        for (char **d = zpi->deps; *d; d++)
            free(*d);
        free(zpi->deps);
    }
    free(zpi->filehash);
    free(zpi->abs_uri);
    free(zpi->rel_uri);
    free(zpi->install_head);
    free(zpi->update_time);
    free(zpi->rsa_sig_subj);
    free(zpi->rsa_sig_data_buf);
    if (zpi->ext_attributes) {
        for (s_ekva **e = zpi->ext_attributes; *e; e++) {
            free((*e)->key);
            free((*e)->val);
            free(*e);
        }
        free(zpi->ext_attributes);
    }
    free(zpi);
}

s_ekva **zpk_info_ekva(const ZPI *zpi, int /*type*/) {
    s_ekva **e = ekva_new(40, 4);
    if (!e)
        return nullptr;
    const char *arch = zpi ? zpk_arch_getname(zpi->arch) : nullptr;
    ekva_addval(&e, "ezpkName", zpi ? zpi->name : nullptr, 0);
    ekva_addval(&e, "ezpkVariant", zpi ? zpi->variant : nullptr, 0);
    ekva_addval(&e, "ezpkVersion", zpi ? zpi->version : nullptr, 0);
    ekva_addval(&e, "ezpkArchitecture", arch, 0);
    ekva_addval(&e, "ezpkCreator", zpi ? zpi->creator : nullptr, 0);
    ekva_addval(&e, "ezpkDescription", zpi ? zpi->desc : nullptr, 0);
    if (!zpi || !zpi->deps) {
        ekva_addval(&e, "ezpkDependency", nullptr, 0);
        return e;
    }
    for (char **d = zpi->deps; *d; d++)
        ekva_addval(&e, "ezpkDependency", *d, 0);
    return e;
}

int zpk_arch_getid(const char *archstring) {
    if (!archstring)
        return ZPK_ARCH_UNKNOWN;
    for (const ArchName &a : kArchNames)
        if (strcmp(a.name, archstring) == 0)
            return a.id;
    return ZPK_ARCH_UNKNOWN;
}

const char *zpk_arch_getname(int arch) {
    for (const ArchName &a : kArchNames)
        if (a.id == arch)
            return a.name;
    return nullptr;
}

char *zpk_puname(const ZPI *zpi) {
    static char puname[1025];
    if (!zpi) {
        puname[0] = '\0';
        return puname;
    }
    const char *arch = zpk_arch_getname(zpi->arch);
    // A NULL argument to %s is undefined; print an unknown architecture as "(null)"
    // explicitly, as glibc would.
    if (!arch)
        arch = "(null)";
    const char *name = zpi->name ? zpi->name : "(null)";
    const char *version = zpi->version ? zpi->version : "(null)";
    if (zpi->variant)
        snprintf(puname, 1024, "%s_%s_%s_%s", name, zpi->variant, arch, version);
    else
        snprintf(puname, 1024, "%s_%s_%s", name, arch, version);
    return puname;
}

int zpm_zpi_match(const ZPI *zpi, const char *wild) {
    if (!wild)
        return 1;
    if (!zpi || !zpi->name)
        return 0;
    if (strcmp(zpi->name, wild) == 0)
        return 1;
    return fnmatch(wild, zpi->name, 0) == 0 ? 1 : 0;
}

int zpk_variant_accepts(const ZPI *zpi, const char *variant) {
    if (!variant)
        return 1;
    if (!*variant || strcmp(variant, "default") == 0)
        return zpi->variant == nullptr;
    return zpi->variant && strcmp(zpi->variant, variant) == 0;
}

void zpm_zpi_list_sort(ZPI ***zpi_list) {
    if (!zpi_list || !*zpi_list)
        return;
    ZPI **list = *zpi_list;
    size_t n = 0;
    while (list[n])
        n++;
    // A stable bubble sort: equal names keep their order.
    for (size_t pass = 0; n > 1 && pass < n - 1; pass++) {
        bool swapped = false;
        for (size_t i = 0; i + 1 < n - pass; i++) {
            const char *a = list[i]->name ? list[i]->name : "";
            const char *b = list[i + 1]->name ? list[i + 1]->name : "";
            if (strcmp(a, b) > 0) {
                ZPI *t = list[i];
                list[i] = list[i + 1];
                list[i + 1] = t;
                swapped = true;
            }
        }
        if (!swapped)
            break;
    }
}

const char *_get_filename_ext(const char *filename) {
    if (!filename)
        return "";
    const char *dot = strrchr(filename, '.');
    if (!dot || dot == filename)
        return "";
    return dot + 1;
}

int zpk_file_is_zpk(const char *filename) {
    if (!filename)
        return 0;
    if (strcmp(_get_filename_ext(filename), "zpk") != 0) {
        zlogf(ZLOG_DEBUG, "file %s has not suffix zpk", filename);
        return 0;
    }
    struct stat st;
    if (stat(filename, &st) != 0) {
        zlogf(ZLOG_DEBUG, "file %s could not be stated: %s", filename, strerror(errno));
        return 0;
    }
    return S_ISREG(st.st_mode) ? 1 : 0;
}

} // extern "C"
