// The reader of index signature files on arbitrary text: never a crash, and
// whatever it accepts it would write again byte for byte, so the bytes the
// signature covers are exactly the fields the client then trusts.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../src/backends/common/repo_sig.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    zpcrepo::IndexSig sig;
    std::string why;
    if (!zpcrepo::parse_sig(text, sig, why)) {
        if (why.empty())
            abort();
        return 0;
    }
    if (sig.signature.empty() || text.compare(0, sig.signed_text.size(), sig.signed_text) != 0)
        abort();
    if (zpcrepo::sig_text(sig) != sig.signed_text)
        abort();
    return 0;
}
