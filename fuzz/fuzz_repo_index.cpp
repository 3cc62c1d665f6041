// The repository index reader on arbitrary text: never a crash, and whatever it
// accepts is a set of complete records located inside the directory.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The reader lives in the back ends' common code, outside the core library.
#include "../src/backends/common/repo_index.cpp"
#include "../src/backends/common/repo_log.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<zpcrepo::ZpiPtr> out;
    std::string why;
    zpcrepo::ReadStatus st = zpcrepo::parse_index("/repo", text, out, why);
    if (st != zpcrepo::ReadStatus::ok) {
        if (!out.empty() || why.empty())
            abort();
        return 0;
    }
    for (const zpcrepo::ZpiPtr &z : out) {
        if (!z->name || !z->version || !z->filehash || !z->abs_uri || !z->rel_uri)
            abort();
        if (strncmp(z->abs_uri, "/repo/", 6) != 0 || strchr(z->abs_uri + 6, '/'))
            abort();
    }
    return 0;
}
