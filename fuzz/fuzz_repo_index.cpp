// The zpc-dirs index reader on arbitrary text: never a crash, and whatever it
// accepts is a set of complete records located inside the directory.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The reader lives in the back end, outside the core library.
#include "../src/backends/zpc-dirs/repo_index.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<zpcdirs::ZpiPtr> out;
    std::string why;
    zpcdirs::ReadStatus st = zpcdirs::parse_index("/repo", text, out, why);
    if (st != zpcdirs::ReadStatus::ok) {
        if (!out.empty() || why.empty())
            abort();
        return 0;
    }
    for (const zpcdirs::ZpiPtr &z : out) {
        if (!z->name || !z->version || !z->filehash || !z->abs_uri || !z->rel_uri)
            abort();
        if (strncmp(z->abs_uri, "/repo/", 6) != 0 || strchr(z->abs_uri + 6, '/'))
            abort();
    }
    return 0;
}
