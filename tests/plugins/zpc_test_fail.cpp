// Test catalogue back end whose failures are chosen by the configuration
// table handed to connect:
//   zpc_test_mode  = connect (connect fails) | refresh (refresh fails) |
//                    short (readpkg writes one byte less than the file)
//   zpc_test_pkgs  = name[/variant],...  the catalogue, version 1.0, arch any
//   zpc_test_file  = the package file every record reads back as
// It includes only the published back-end header, as a third-party back end
// would, and so carries its own small helpers.
#include <fnmatch.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zpm/zpc.h"

namespace {

struct TestConn {
    ZPC zpc{};
    std::string mode;
    std::string file;
    std::vector<std::pair<std::string, std::string>> pkgs; // name, variant
};

const char *conf_get(s_ekva **conf, const char *key) {
    for (int i = 1; conf && conf[i]; i++)
        if (conf[i]->key && strcasecmp(conf[i]->key, key) == 0)
            return conf[i]->val;
    return nullptr;
}

void parse_pkgs(const char *v, TestConn *c) {
    std::string s = v ? v : "";
    size_t start = 0;
    while (start < s.size()) {
        size_t end = s.find(',', start);
        if (end == std::string::npos)
            end = s.size();
        std::string item = s.substr(start, end - start);
        size_t slash = item.find('/');
        if (slash == std::string::npos)
            c->pkgs.emplace_back(item, "");
        else
            c->pkgs.emplace_back(item.substr(0, slash), item.substr(slash + 1));
        start = end + 1;
    }
}

bool variant_ok(const std::string &have, const char *want) {
    if (!want)
        return true;
    if (!*want || strcmp(want, "default") == 0)
        return have.empty();
    return have == want;
}

ZPI *make_zpi(const TestConn *c, const std::string &name, const std::string &variant) {
    ZPI *z = static_cast<ZPI *>(calloc(1, sizeof(ZPI)));
    z->name = strdup(name.c_str());
    z->variant = variant.empty() ? nullptr : strdup(variant.c_str());
    z->version = strdup("1.0");
    z->arch = ZPK_ARCH_ANY;
    z->removable = 1;
    struct stat st;
    if (!c->file.empty() && stat(c->file.c_str(), &st) == 0)
        z->filesize = static_cast<uint64_t>(st.st_size);
    z->abs_uri = strdup(c->file.c_str());
    return z;
}

} // namespace

extern "C" {

ZPC *zpc_connect(s_ekva **conf, s_zpmlog *) {
    const char *mode = conf_get(conf, "zpc_test_mode");
    if (mode && strcmp(mode, "connect") == 0)
        return nullptr;
    auto *c = new TestConn();
    c->mode = mode ? mode : "";
    const char *file = conf_get(conf, "zpc_test_file");
    c->file = file ? file : "";
    parse_pkgs(conf_get(conf, "zpc_test_pkgs"), c);
    return &c->zpc;
}

int zpc_refresh(ZPC *zpc) {
    return reinterpret_cast<TestConn *>(zpc)->mode == "refresh" ? 1 : 0;
}

int zpc_findpkg(ZPC *zpc, char *name, char *variant, char *, int, s_ekva **, ZPI ***list) {
    auto *c = reinterpret_cast<TestConn *>(zpc);
    std::vector<ZPI *> found;
    for (const auto &p : c->pkgs)
        if ((p.first == name || fnmatch(name, p.first.c_str(), 0) == 0) &&
            variant_ok(p.second, variant))
            found.push_back(make_zpi(c, p.first, p.second));
    if (found.empty())
        return 0;
    ZPI **arr = static_cast<ZPI **>(calloc(found.size() + 1, sizeof(ZPI *)));
    for (size_t i = 0; i < found.size(); i++)
        arr[i] = found[i];
    *list = arr;
    return static_cast<int>(found.size());
}

int zpc_readpkg(ZPC *zpc, ZPI *zpi, FILE *out) {
    auto *c = reinterpret_cast<TestConn *>(zpc);
    FILE *in = fopen(zpi->abs_uri, "rb");
    if (!in)
        return -1;
    long limit = c->mode == "short" ? static_cast<long>(zpi->filesize) - 1 : -1;
    int total = 0, ch;
    while ((limit < 0 || total < limit) && (ch = fgetc(in)) != EOF) {
        fputc(ch, out);
        total++;
    }
    fclose(in);
    return total;
}

int zpc_release(ZPC *zpc) {
    delete reinterpret_cast<TestConn *>(zpc);
    return 0;
}

} // extern "C"
