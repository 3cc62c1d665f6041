#include "digest_memo.h"

#include <cstring>
#include <unordered_map>

namespace zpm::memo {

namespace {

struct Key {
    dev_t dev;
    ino_t ino;
    bool operator==(const Key &o) const { return dev == o.dev && ino == o.ino; }
};

struct KeyHash {
    size_t operator()(const Key &k) const {
        return std::hash<unsigned long long>()(static_cast<unsigned long long>(k.ino) * 31u +
                                               static_cast<unsigned long long>(k.dev));
    }
};

// What identifies one state of a file beside its device and inode.
struct Stamp {
    off_t size;
    struct timespec mtime, ctime;
};

bool same_time(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool before(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

Stamp stamp_of(const struct stat &st) {
    return Stamp{st.st_size, st.st_mtim, st.st_ctim};
}

bool matches(const Stamp &s, const struct stat &st) {
    return s.size == st.st_size && same_time(s.mtime, st.st_mtim) && same_time(s.ctime, st.st_ctim);
}

// One table of facts per kind, each entry valid for one state of its file.
template <class T> class Table {
  public:
    void put(const struct stat &st, const T &value) {
        map_[Key{st.st_dev, st.st_ino}] = Entry{stamp_of(st), value};
    }
    const T *get(const struct stat &st) const {
        auto it = map_.find(Key{st.st_dev, st.st_ino});
        return it != map_.end() && matches(it->second.stamp, st) ? &it->second.value : nullptr;
    }
    void clear() { map_.clear(); }

  private:
    struct Entry {
        Stamp stamp;
        T value;
    };
    std::unordered_map<Key, Entry, KeyHash> map_;
};

Table<std::string> &written() {
    static Table<std::string> t;
    return t;
}

Table<PackageFacts> &packages() {
    static Table<PackageFacts> t;
    return t;
}

} // namespace

void clear() {
    written().clear();
}

void record(const struct stat &st, const std::string &hex) {
    if (hex.size() != 40 || !S_ISREG(st.st_mode))
        return;
    written().put(st, hex);
}

bool lookup(const struct stat &st, char *hex) {
    const std::string *h = written().get(st);
    if (!h)
        return false;
    memcpy(hex, h->c_str(), 41);
    return true;
}

struct timespec read_start() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return now;
}

void record_package(const struct stat &st, const PackageFacts &facts,
                    const struct timespec *since) {
    if (facts.digest.size() != 40 || !S_ISREG(st.st_mode))
        return;
    if (since && !before(st.st_ctim, *since))
        return;
    packages().put(st, facts);
}

bool lookup_package(const struct stat &st, PackageFacts *facts) {
    const PackageFacts *f = packages().get(st);
    if (!f)
        return false;
    *facts = *f;
    return true;
}

void clear_packages() {
    packages().clear();
}

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && matches(stamp_of(a), b);
}

} // namespace zpm::memo
