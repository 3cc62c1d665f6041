// The digests of the files an unpacking writes (or of one package file as
// it is read), taken from the bytes as they go by: on a thread of its own
// once they have shown themselves many enough to be worth one, so that
// hashing costs no time on a second core, else right away.
#ifndef ZPM_ZPF_HASHER_H
#define ZPM_ZPF_HASHER_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <utility>
#include <vector>

#include "sha1.h"

namespace zpm::pkg {

class Hasher {
  public:
    Hasher() = default;
    ~Hasher();
    Hasher(const Hasher &) = delete;
    Hasher &operator=(const Hasher &) = delete;

    // One file: begin, its bytes as written (offset: where they lie), then
    // either end with the file's fstat after it was written and closed
    // without error, or drop.  A file whose bytes did not come in order, or
    // do not make up its size, gets no digest.
    void begin();
    void add(const void *buf, size_t size, int64_t offset);
    void end(const struct stat &st);
    void drop();
    // Waits for every digest; each with the fstat of its file.
    std::vector<std::pair<struct stat, std::string>> results();

  private:
    struct Job {
        enum Kind { Begin, Data, End, Drop } kind;
        std::string bytes;
        int64_t offset = 0;
        struct stat st {};
    };
    struct File {
        SHA1_CTX ctx;
        int64_t next = 0;
        bool in_order = true;
    };
    void update(const void *buf, size_t size, int64_t offset);
    void run(Job &job);
    void submit(Job job);
    void work();
    void start();
    void maybe_start();

    File file_{};
    std::vector<std::pair<struct stat, std::string>> done_;
    uint64_t inline_bytes_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable ready_, room_;
    std::deque<Job> queue_;
    size_t queued_bytes_ = 0;
    bool stop_ = false;
};

} // namespace zpm::pkg

#endif
