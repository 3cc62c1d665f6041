// map-write FILE OFFSET GO: maps FILE shared and writable and dirties the
// page holding OFFSET at once (a write fault stamps the file's times); then,
// once the file GO appears, changes the byte at OFFSET (xor 0x5a) through
// the mapping, which leaves the times as they were, and removes GO.
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 4)
        return 2;
    int fd = open(argv[1], O_RDWR);
    struct stat st;
    const long at = std::atol(argv[2]);
    if (fd < 0 || fstat(fd, &st) != 0 || at < 0 || at >= st.st_size)
        return 1;
    const size_t len = static_cast<size_t>(st.st_size);
    void *map = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
        return 1;
    volatile unsigned char *byte = static_cast<unsigned char *>(map) + at;
    *byte = *byte;
    for (int i = 0; i < 3000 && access(argv[3], F_OK) != 0; i++)
        usleep(10000);
    *byte = *byte ^ 0x5a;
    unlink(argv[3]);
    return munmap(map, len) == 0 ? 0 : 1;
}
