// zpk-build: the package description, from info/desc.txt and the options.
#include <cstdlib>
#include <cstring>

#include "ldiflib.h"
#include "zpk.h"
#include "zpkb.h"
#include "zpm.h"

namespace zpkb {

namespace {

// The first value of attr in an LDIF entry; false when there is none.
bool get_attr(const zpm::ldif::Entry &entry, const char *attr, std::string *out) {
    const std::string *v = entry.get(attr, 1);
    if (v)
        *out = *v;
    return v != nullptr;
}

std::string ldif_line(const char *attr, const std::string &value, int type) {
    int n = 0;
    char *buf = ldif_write(nullptr, &n, attr, value.c_str(), static_cast<int>(value.size()), type);
    if (!buf)
        throw Error{"cannot encode attribute " + std::string(attr)};
    std::string line(buf, static_cast<size_t>(n));
    free(buf);
    return line;
}

// The text of a package source is not trusted: a value such as
// "ezpkDescription:< file:///etc/shadow" would publish a local file in the
// header.  Such lines are refused, and the reader never reads a file anyway.
void refuse_file_refs(const std::string &text) {
    std::string line;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        line += text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() + 1 : nl + 1;
        if (pos < text.size() && text[pos] == ' ') {
            pos++; // a folded line goes on
            continue;
        }
        size_t colon = line.find(':');
        if (line.empty())
            return; // only the first entry is read
        if (line[0] != '#' && colon != std::string::npos &&
            ((colon + 1 < line.size() && line[colon + 1] == '<') ||
             line.substr(0, colon).find(";binary") != std::string::npos))
            throw Error{"info/desc.txt: the value of " + line.substr(0, colon) +
                        " refers to a file; give the value itself"};
        line.clear();
    }
}

struct NoFileRefs {
    int before = ldif_file_refs(0);
    ~NoFileRefs() { ldif_file_refs(before); }
};

Fields fields_from_text(std::string text) {
    refuse_file_refs(text);
    NoFileRefs guard;
    const zpm::ldif::Entry entry(text.data(), static_cast<int>(text.size()));
    Fields f;
    get_attr(entry, "ezpkName", &f.name);
    get_attr(entry, "ezpkVariant", &f.variant);
    get_attr(entry, "ezpkVersion", &f.version);
    get_attr(entry, "ezpkArchitecture", &f.arch);
    f.has_creator = get_attr(entry, "ezpkCreator", &f.creator);
    f.has_description = get_attr(entry, "ezpkDescription", &f.description);
    f.deps = entry.all("ezpkDependency");
    return f;
}

void check_name(const char *what, const std::string &value) {
    if (!valid_name(value))
        throw Error{std::string("invalid ") + what + " \"" + value +
                    "\": use only A-Z a-z 0-9 + . _ - and do not start with . or -"};
}

} // namespace

bool valid_name(const std::string &s) {
    if (s.empty() || s[0] == '.' || s[0] == '-')
        return false;
    for (char c : s) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '+' || c == '.' || c == '_' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

Fields merge_fields(const std::string &desc_txt, const Options &opt) {
    Fields f = fields_from_text(desc_txt);
    const Fields &o = opt.fields;
    if (opt.set_name)
        f.name = o.name;
    if (opt.set_variant)
        f.variant = o.variant;
    if (opt.set_version)
        f.version = o.version;
    if (opt.set_arch)
        f.arch = o.arch;
    if (o.has_creator) {
        f.creator = o.creator;
        f.has_creator = true;
    }
    if (o.has_description) {
        f.description = o.description;
        f.has_description = true;
    }
    if (opt.set_deps)
        f.deps = o.deps;
    return f;
}

void validate_fields(const Fields &f) {
    if (f.name.empty())
        throw Error{"no package name: give --name or ezpkName in info/desc.txt"};
    check_name("package name", f.name);
    if (!f.variant.empty())
        check_name("variant", f.variant);
    if (f.version.empty())
        throw Error{"no version: give --version or ezpkVersion in info/desc.txt"};
    check_name("version", f.version);
    if (f.arch.empty())
        throw Error{"no architecture: give --arch or ezpkArchitecture in info/desc.txt"};
    if (zpk_arch_getid(f.arch.c_str()) == ZPK_ARCH_UNKNOWN)
        throw Error{"unknown architecture \"" + f.arch + "\": use any, i686, x86_64 or mips"};
    for (const std::string &d : f.deps)
        check_name("dependency", d);
}

std::string description_text(const Fields &f, uint64_t datasize, const std::string &sig_subj,
                             const std::string &sig_data) {
    std::string t = ldif_line("ezpmVersion", "1.0", 0);
    t += ldif_line("ezpkName", f.name, 0);
    if (!f.variant.empty())
        t += ldif_line("ezpkVariant", f.variant, 0);
    t += ldif_line("ezpkVersion", f.version, 0);
    t += ldif_line("ezpkArchitecture", f.arch, 0);
    if (f.has_creator)
        t += ldif_line("ezpkCreator", f.creator, 0);
    if (f.has_description)
        t += ldif_line("ezpkDescription", f.description, 0);
    for (const std::string &d : f.deps)
        t += ldif_line("ezpkDependency", d, 0);
    t += ldif_line("ezpkDataSize", std::to_string(datasize), 0);
    if (!sig_subj.empty()) {
        t += ldif_line("ezpkRsaSigSubj", sig_subj, 0);
        t += ldif_line("ezpkRsaSigData", sig_data, 1);
    }
    return t;
}

} // namespace zpkb
