// Shared steps of the executors: stage paths and fetching, package scripts
// run without a shell, the header check, inventory paths and registration
// files.
#include "exec_common.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "catalogue.h"
#include "cres.h"
#include "exec.h"
#include "fsops.h"
#include "hooks.h"
#include "ldiflib.h"
#include "loglib.h"
#include "paths.h"
#include "recptr.h"
#include "util.h"
#include "zpf.h"
#include "zpk.h"

extern char **environ;

// Set while a package that brought a shared library is installed.
int have_so = 0;

namespace zpm::exec {

namespace {

constexpr size_t kStagePathMax = 1024;

// snprintf into a buffer of size bytes; false when the text did not fit.
bool fits(std::string *out, size_t size, const char *fmt, const char *a, const char *b) {
    std::vector<char> buf(size);
    int n = snprintf(buf.data(), size, fmt, a, b);
    if (n < 0 || static_cast<size_t>(n) >= size)
        return false;
    out->assign(buf.data(), static_cast<size_t>(n));
    return true;
}

// While a back end writes a package into the stage, the bytes that have
// arrived are reported five times a second: the catalogue interface says
// nothing until the whole file is there.
class FetchWatch {
  public:
    FetchWatch(const char *name, int fd, unsigned long long total) {
        try {
            thread_ = std::thread([this, name, fd, total] { watch(name, fd, total); });
        } catch (const std::system_error &) {
            // No thread, no running count: the fetch goes on all the same.
        }
    }
    FetchWatch(const FetchWatch &) = delete;
    FetchWatch &operator=(const FetchWatch &) = delete;
    ~FetchWatch() {
        if (!thread_.joinable())
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

  private:
    void watch(const char *name, int fd, unsigned long long total) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stop_; })) {
            struct stat sb {};
            if (fstat(fd, &sb) != 0 || sb.st_size <= 0)
                continue;
            auto got = static_cast<unsigned long long>(sb.st_size);
            try {
                zpm::hook_progress(name, zpm::ProgressPhase::fetch, got < total ? got : total,
                                   total);
            } catch (...) {
                return; // a window that cannot be told is no reason to end zpm
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace

void each_index_line(FILE *f, const char *what, const std::function<bool(const char *)> &line) {
    constexpr size_t kIndexLineMax = 4094;
    char *buf = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&buf, &cap, f)) >= 0) {
        if (n > 0 && buf[n - 1] == '\n')
            buf[--n] = '\0';
        if (n == 0)
            continue;
        if (static_cast<size_t>(n) > kIndexLineMax) {
            zlogf(ZLOG_WARNING, "Skipping a line of %d characters in %s", static_cast<int>(n),
                  what);
            continue;
        }
        if (!line(buf))
            break;
    }
    free(buf);
}

EkvaPtr file_choices() {
    s_ekva **c = ekva_new(4, EKVA_ADD_APPEND);
    ekva_addval(&c, "l", "leave existing file", EKVA_ADD_APPEND);
    ekva_addval(&c, "r", "replace existing file", EKVA_ADD_APPEND);
    ekva_addval(&c, "a", "abort installation", EKVA_ADD_APPEND);
    return EkvaPtr(c);
}

const char *ask_existing(const char *path, s_ekva **choices) {
    static char def[] = "r";
    const std::string prompt = cut(std::string("The file ") + path +
                                       " already exists on the filesystem. Choose your action",
                                   2040);
    return zpm::hook_choose(prompt.c_str(), choices, def);
}

int dep_count(const ZPT *zpt) {
    int n = 0;
    while (zpt->all_zpds && n < zpt->num_zpds && zpt->all_zpds[n])
        n++;
    return n;
}

void make_dir(const std::string &path, int mode) {
    std::string copy = path;
    zpm_zpf_mkdir(copy.data(), mode);
}

std::string cut(const std::string &s, size_t size) {
    return s.size() < size ? s : s.substr(0, size ? size - 1 : 0);
}

bool stage_of(const ZPI *zpi, Stage *st) {
    const char *p = zpi ? zpk_puname(zpi) : nullptr;
    if (!p || !*p || strchr(p, '/') || !strcmp(p, ".") || !strcmp(p, "..")) {
        zlogf(ZLOG_ERROR, "Package name %s cannot name a file in the stage area", p ? p : "");
        return false;
    }
    const std::string puname = p;
    const std::string stage = zpm::paths::stage_dir();
    const char *s = stage.c_str(), *u = puname.c_str();
    if (!fits(&st->file, kStagePathMax, "%s/%s.zpk", s, u) ||
        !fits(&st->zpk_dir, kStagePathMax, "%s/%s", s, u) ||
        !fits(&st->new_dir, kStagePathMax, "%s/%s/new", s, u) ||
        !fits(&st->old_dir, kStagePathMax, "%s/%s/old", s, u)) {
        zlogf(ZLOG_ERROR, "Stage paths for %s are too long", u);
        return false;
    }
    return true;
}

int fetch(const ZPI *zpi, char status, ZPC *zpc, const char *who) {
    if (status != 'R' && status != 'L')
        return 0;
    Stage st;
    if (!stage_of(zpi, &st))
        return -1;
    make_dir(zpm::paths::stage_dir(), 0755);
    zpm::hook_progress(zpi->name, zpm::ProgressPhase::fetch, 0, zpi->filesize);
    ZPI *rec = const_cast<ZPI *>(zpi);
    if (status == 'L') {
        if (!zpi->abs_uri || zpm_zpf_copy(st.file.c_str(), zpi->abs_uri, nullptr, 0, 0, 0) < 0) {
            zlogf(ZLOG_ERROR, "%s: Failed to copy %s to %s", who,
                  zpi->abs_uri ? zpi->abs_uri : "(null)", st.file.c_str());
            return -1;
        }
        return 0;
    }
    if (zpm_stage_have_zpk(st.file.data(), rec) == 1)
        return 0;
    FILE *f = fopen(st.file.c_str(), "w");
    if (!f) {
        zlogf(ZLOG_ERROR, "%s: Failed to open %s for writing: %s", who, st.file.c_str(),
              strerror(errno));
        return -1;
    }
    int got = -1;
    if (pzpm_zpc_readpkg) {
        FetchWatch watch(zpi->name, fileno(f), zpi->filesize);
        got = pzpm_zpc_readpkg(zpc, rec, f);
    }
    // A stream that cannot be flushed did not receive what the count says.
    bool flushed = fclose(f) == 0;
    if (!flushed || static_cast<long long>(got) != static_cast<long long>(zpi->filesize)) {
        zlogf(ZLOG_ERROR, "%s: Failed to get %lu bytes from zpc_readpkg into %s. rc = %d", who,
              static_cast<unsigned long>(zpi->filesize), st.file.c_str(), got);
        return -1;
    }
    return 0;
}

std::string inst_dir(const char *name, const char *fmt) {
    char buf[2048];
    snprintf(buf, sizeof buf, fmt, zpm::paths::installed_dir().c_str(), name ? name : "");
    return buf;
}

std::string index_path(const char *name, const char *fmt) {
    std::string out;
    if (!fits(&out, 2048, fmt, zpm::paths::fileindex_dir().c_str(), name ? name : ""))
        out = cut(zpm::paths::fileindex_dir() + "/" + (name ? name : ""), 2048);
    return out;
}

/* ------------------------------------------------------------ scripts */

namespace {

// Starts argv[0] with the given environment in dir (the current directory
// when null) and waits for it, as system() would: SIGINT and SIGQUIT are
// ignored meanwhile.  Returns the wait status, or -1 when it cannot start.
int spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
          const char *dir, bool quiet) {
    std::vector<char *> av, ev;
    for (const auto &a : argv)
        av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    for (const auto &e : env)
        ev.push_back(const_cast<char *>(e.c_str()));
    ev.push_back(nullptr);
    struct sigaction ign = {}, old_int, old_quit;
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGINT, &ign, &old_int);
    sigaction(SIGQUIT, &ign, &old_quit);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGQUIT, &old_quit, nullptr);
        signal(SIGPIPE, SIG_DFL);
        if (dir && chdir(dir) != 0)
            _exit(2); // what "cd" in a shell gives
        if (quiet) {
            int fd = open("/dev/null", O_WRONLY);
            if (fd >= 0) {
                dup2(fd, 2);
                close(fd);
            }
        }
        execve(av[0], av.data(), ev.data());
        _exit(errno == ENOENT || errno == ENOTDIR ? 127 : 126); // as a shell reports it
    }
    int status = -1;
    if (pid > 0)
        while (waitpid(pid, &status, 0) < 0)
            if (errno != EINTR) {
                status = -1;
                break;
            }
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    return status;
}

// zpm's own environment with PATH and the assigned names replaced.
std::vector<std::string> script_env(const std::vector<std::string> &assigns) {
    std::vector<std::string> env;
    auto assigned = [&](const char *e) {
        const char *eq = strchr(e, '=');
        size_t len = eq ? static_cast<size_t>(eq - e) : strlen(e);
        for (const auto &a : assigns)
            if (a.compare(0, len + 1, std::string(e, len) + "=") == 0)
                return true;
        return len == 4 && !strncmp(e, "PATH", 4);
    };
    for (char **e = environ; e && *e; e++)
        if (!assigned(*e))
            env.emplace_back(*e);
    env.push_back("PATH=" + zpm::paths::script_dir());
    env.insert(env.end(), assigns.begin(), assigns.end());
    return env;
}

} // namespace

int run_script(const char *who, const std::vector<std::string> &assigns,
               const std::string &script) {
    const std::string sd = zpm::paths::script_dir();
    std::string line = "cd " + sd + " && PATH=" + sd + " ";
    for (const auto &a : assigns)
        line += a + " ";
    line += sd + "/ash " + script;
    zlogf(ZLOG_DEBUG, "%scmdline: %s", who, line.c_str());
    return spawn({sd + "/ash", script}, script_env(assigns), sd.c_str(), false);
}

void run_ldconfig() {
    std::vector<std::string> env;
    for (char **e = environ; e && *e; e++)
        env.emplace_back(*e);
    spawn({zpm::paths::ldconfig()}, env, nullptr, true);
}

/* ------------------------------------------------- checks and registration */

namespace {

bool same_text(const char *a, const char *b) {
    return (a ? a : std::string()) == (b ? b : std::string());
}

bool same_deps(char **a, char **b) {
    int n = arr_count(a);
    if (n != arr_count(b))
        return false;
    for (int i = 0; i < n; i++)
        if (strcmp(a[i], b[i]) != 0)
            return false;
    return true;
}

// The first field in which two descriptions differ, or null.
const char *differing_field(const ZPI *h, const ZPI *s) {
    if (!same_text(h->name, s->name))
        return "name";
    if (!same_text(h->variant, s->variant))
        return "variant";
    if (!same_text(h->version, s->version))
        return "version";
    if (h->arch != s->arch)
        return "architecture";
    if (!same_deps(h->deps, s->deps))
        return "dependencies";
    return nullptr;
}

} // namespace

bool header_matches(const Stage &st, const ZPI *zpi, const char *who) {
    ZpiPtr head(zpm_zpf_info(st.file.c_str(), 0));
    const std::string desc_path = st.new_dir + "/info/desc.txt";
    int size = 0;
    CharBuf text(_read_file(desc_path.c_str(), &size));
    ZpiPtr signed_desc;
    if (text) {
        text.get()[size] = '\0';
        signed_desc.reset(zpk_info_parse(nullptr, 3, text.get(), nullptr));
    }
    const char *field = nullptr;
    if (!head || !signed_desc)
        field = "description";
    else if (!(field = differing_field(head.get(), signed_desc.get())) &&
             !same_text(zpi->name, signed_desc->name))
        field = "name";
    if (!field)
        return true;
    zlogf(ZLOG_ERROR,
          "%s: the %s in the header of %s differs from its signed description, refusing it", who,
          field, st.file.c_str());
    return false;
}

int unpack_checked(const Stage &st, const ZPI *zpi, const char *who, const char *of, Forks *fk) {
    zlogf(ZLOG_DEBUG, "%s: Will unpack %s to %s", who, st.file.c_str(), st.new_dir.c_str());
    zpm_zpf_rmdir(st.new_dir.c_str());
    make_dir(st.new_dir, 0755);
    make_dir(st.old_dir, 0755);
    zpm::hook_progress(zpi->name, zpm::ProgressPhase::unpack, 0, 1);
    int rc = zpm_zpf_extract(st.file.c_str(), st.new_dir.c_str(), 1);
    zpm::hook_progress(zpi->name, zpm::ProgressPhase::check, 0, 1);
    if (rc)
        zlogf(ZLOG_ERROR, "%s: Failure unpacking %s to %s", who, st.file.c_str(),
              st.new_dir.c_str());
    else if ((rc = zpm_chk_all_files(const_cast<char *>(st.new_dir.c_str()), &fk->data, &fk->info,
                                     &fk->init)))
        zlogf(ZLOG_ERROR, "%s: Failure checking files %s %s in %s", who, of, st.file.c_str(),
              st.new_dir.c_str());
    else if (!header_matches(st, zpi, who))
        rc = -1;
    return rc;
}

namespace {

// Copies every file of a fork list from "<new_dir>/<fork><path>" to
// "<dest><path>" with mode 0755.
zpm::Failure copy_fork(char **files, const std::string &new_dir, const char *fork,
                       const std::string &dest) {
    for (size_t i = 0; files && files[i]; i++) {
        const std::string src = new_dir + "/" + fork + files[i];
        const std::string dst = dest + files[i];
        if (src.size() >= 2048 || dst.size() >= 2048)
            return zpm::Error{"copy", dst, ENAMETOOLONG};
        if (zpm_zpf_copy(dst.c_str(), src.c_str(), nullptr, 0755, 0, 0) < 0)
            return zpm::error_now("copy to", dst);
    }
    return {};
}

zpm::Failure copy_list(const std::string &from, const std::string &to) {
    if (zpm_zpf_copy(to.c_str(), from.c_str(), nullptr, 0755, 0, 0) < 0)
        return zpm::error_now("copy to", to);
    return {};
}

} // namespace

std::optional<EntryFailure> copy_entry(const Forks &fk, const Stage &st, const std::string &dir,
                                       const std::string &init_dir) {
    if (auto e = copy_fork(fk.info, st.new_dir, "info", dir))
        return EntryFailure{EntryStep::info, *e};
    if (fk.data)
        if (auto e = copy_list(st.new_dir + "/hash/data.txt", dir + "/hash/data.txt"))
            return EntryFailure{EntryStep::data_hash, *e};
    if (!fk.init)
        return {};
    make_dir(init_dir, 0755);
    if (auto e = copy_fork(fk.init, st.new_dir, "init", dir + "/init"))
        return EntryFailure{EntryStep::init, *e};
    if (auto e = copy_list(st.new_dir + "/hash/init.txt", dir + "/hash/init.txt"))
        return EntryFailure{EntryStep::init_hash, *e};
    return {};
}

zpm::Failure write_inst(const std::string &dir,
                        const std::vector<std::pair<const char *, std::string>> &attrs) {
    const std::string tmp = dir + "/.inst.txt.new";
    File f(fopen(tmp.c_str(), "w"));
    if (!f)
        return zpm::error_now("open", tmp);
    for (const auto &[attr, value] : attrs)
        ldif_fwrite(f.get(), attr, value.c_str(), 0, 0);
    zpm::Failure fail;
    if (fclose(f.release()) != 0)
        fail = zpm::error_now("write", tmp);
    else if (rename(tmp.c_str(), (dir + "/inst.txt").c_str()) != 0)
        fail = zpm::error_now("rename", tmp);
    if (fail)
        unlink(tmp.c_str());
    return fail;
}

zpm::Failure write_lines(const std::string &file, char **paths) {
    File f(fopen(file.c_str(), "w"));
    if (!f)
        return zpm::error_now("open", file);
    for (size_t i = 0; paths && paths[i]; i++)
        fprintf(f.get(), "%s\n", paths[i]);
    if (fclose(f.release()) != 0)
        return zpm::error_now("write", file);
    return {};
}

} // namespace zpm::exec
