#include "zpf_hasher.h"

#include <system_error>

#include "util.h"

namespace zpm::pkg {

namespace {

// Bytes hashed right away before a thread is started: a small payload is
// done before a thread would be.
constexpr uint64_t kInlineBytes = 1 << 20;
// Bytes waiting for the thread at most; unpacking waits beyond.
constexpr size_t kQueueBytes = 16 << 20;
// Bytes that make the thread worth waking: a wake-up for every small file
// would cost more than its digest.
constexpr size_t kBatchBytes = 512 << 10;

} // namespace

Hasher::~Hasher() {
    if (!thread_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    ready_.notify_one();
    thread_.join();
}

void Hasher::update(const void *buf, size_t size, int64_t offset) {
    if (!file_.in_order || offset != file_.next || size > UINT32_MAX) {
        file_.in_order = false;
        return;
    }
    SHA1Update(&file_.ctx, static_cast<const unsigned char *>(buf), static_cast<uint32_t>(size));
    file_.next += static_cast<int64_t>(size);
}

void Hasher::run(Job &job) {
    switch (job.kind) {
    case Job::Begin:
        SHA1Init(&file_.ctx);
        file_.next = 0;
        file_.in_order = true;
        break;
    case Job::Data:
        update(job.bytes.data(), job.bytes.size(), job.offset);
        break;
    case Job::End:
        if (file_.in_order && file_.next == job.st.st_size)
            done_.emplace_back(job.st, zpm::sha1_final_hex(file_.ctx));
        break;
    case Job::Drop:
        break;
    }
}

void Hasher::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ready_.wait(lock, [this] { return stop_ || queued_bytes_ >= kBatchBytes; });
        if (queue_.empty() && stop_)
            return;
        std::deque<Job> batch;
        batch.swap(queue_);
        queued_bytes_ = 0;
        lock.unlock();
        room_.notify_one();
        for (Job &job : batch)
            run(job);
        lock.lock();
    }
}

void Hasher::start() {
    try {
        thread_ = std::thread([this] { work(); });
    } catch (const std::system_error &) {
        // No thread: the digests are taken right away, as for a small payload.
    }
}

void Hasher::submit(Job job) {
    if (!thread_.joinable()) {
        run(job);
        return;
    }
    bool wake;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [this] { return queued_bytes_ < kQueueBytes; });
        queued_bytes_ += job.bytes.size();
        queue_.push_back(std::move(job));
        wake = queued_bytes_ >= kBatchBytes;
    }
    if (wake)
        ready_.notify_one();
}

// Past the first megabyte the rest goes to the thread, from the next file
// on or, for one large stream, from the next bytes on: the thread takes over
// the digest begun here, which this thread no longer touches.
void Hasher::maybe_start() {
    if (!thread_.joinable() && inline_bytes_ >= kInlineBytes)
        start();
}

void Hasher::begin() {
    maybe_start();
    submit(Job{Job::Begin, {}, 0, {}});
}

void Hasher::add(const void *buf, size_t size, int64_t offset) {
    maybe_start();
    if (thread_.joinable()) {
        submit(Job{Job::Data, std::string(static_cast<const char *>(buf), size), offset, {}});
        return;
    }
    inline_bytes_ += size;
    update(buf, size, offset);
}

void Hasher::end(const struct stat &st) {
    submit(Job{Job::End, {}, 0, st});
}

void Hasher::drop() {
    submit(Job{Job::Drop, {}, 0, {}});
}

std::vector<std::pair<struct stat, std::string>> Hasher::results() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        ready_.notify_one();
        thread_.join();
    }
    return std::move(done_);
}

} // namespace zpm::pkg
