// Configuration reader on arbitrary file contents, read directly and through
// an include line of a second file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "ekva.h"
#include "zpmconf.h"

namespace {

std::string temp_file(const std::string &content) {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/fuzzconfXXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd < 0)
        abort();
    if (write(fd, content.data(), content.size()) != ssize_t(content.size()))
        abort();
    close(fd);
    return tmpl;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    std::string direct = temp_file(input);
    std::string outer = temp_file("before=1\ninclude " + direct + "\n" + input + "\nafter=2\n");

    s_ekva **conf = zpmconf_read(nullptr, direct.c_str());
    if (!conf)
        abort(); // the file exists: a table must come back
    ekva_free(conf);

    conf = zpmconf_read(nullptr, outer.c_str());
    if (!conf)
        abort();
    // "before" is always there; the reader's cap allows one extra entry
    // at most, taken by a nested file that starts full.
    if (ekva_nument(conf) < 1 || ekva_nument(conf) > 1024)
        abort();
    ekva_free(conf);

    unlink(direct.c_str());
    unlink(outer.c_str());
    return 0;
}
