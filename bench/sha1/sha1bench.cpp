// Benchmark driver: prints "<digest>  <file>" like sha1sum.
//   sha1bench FILE                 sha1_file as the package manager uses it
//   sha1bench --portable FILE      the same on the portable block function
//   sha1bench --chunk N FILE       read(2) in N-byte chunks into SHA1Update
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "sha1.h"
#include "util.h"

static int chunked(const char *file, size_t chunk) {
    int fd = open(file, O_RDONLY);
    if (fd < 0)
        return 1;
    std::vector<unsigned char> buf(chunk);
    SHA1_CTX ctx;
    SHA1Init(&ctx);
    ssize_t n;
    while ((n = read(fd, buf.data(), chunk)) > 0)
        SHA1Update(&ctx, buf.data(), (uint32_t)n);
    close(fd);
    if (n < 0)
        return 1;
    unsigned char d[20];
    SHA1Final(d, &ctx);
    for (int i = 0; i < 20; i++)
        printf("%02x", d[i]);
    printf("  %s\n", file);
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 4 && !strcmp(argv[1], "--chunk"))
        return chunked(argv[3], (size_t)atol(argv[2]));
    if (argc == 3 && !strcmp(argv[1], "--portable")) {
        sha1_accel(0);
        argv++, argc--;
    }
    if (argc != 2) {
        fprintf(stderr, "usage: sha1bench [--portable | --chunk N] FILE\n");
        return 2;
    }
    char digest[41];
    if (!sha1_file(argv[1], 'x', digest))
        return 1;
    printf("%s  %s\n", digest, argv[1]);
    return 0;
}
