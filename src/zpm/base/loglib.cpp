// The log: a log file, the system log and standard error, each with its own
// mask of levels.  The file is opened and closed for every message so that it
// can be rotated or read between messages.
#include "loglib.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <syslog.h>

#include "cres.h"
#include "util.h"

// The log of this run and the message buffer its callers format into.
s_zpmlog *zpmlog = nullptr;
char logmsg[LOGMSG_SIZE];

namespace {

constexpr int kAllLevels = ZLOG_ERROR | ZLOG_WARNING | ZLOG_INFO | ZLOG_DEBUG;
constexpr int kDefaultMask = 7;
constexpr size_t kMaxFileName = 2000;

// Indexed by the level value; the gaps are empty names.
char *level_names[] = {
    const_cast<char *>("ALL"), const_cast<char *>("ERROR"), const_cast<char *>("WARNING"),
    const_cast<char *>(""),    const_cast<char *>("INFO"),  const_cast<char *>(""),
    const_cast<char *>(""),    const_cast<char *>(""),      const_cast<char *>("DEBUG")};

// The handle that opened the system log, so that log_free closes it once.
s_zpmlog *syslog_owner = nullptr;

const char *level_name(const s_zpmlog *h, int level) {
    if (level < 0 || level > ZLOG_DEBUG)
        return "";
    char **table = h->level_string ? h->level_string : level_names;
    return table[level] ? table[level] : "";
}

int pick_mask(int wanted, bool *defaulted) {
    *defaulted = (wanted & kAllLevels) == 0;
    return *defaulted ? kDefaultMask : wanted;
}

int sys_mask(int syslevel, bool *defaulted) {
    if (syslevel >= ZLOG_DEBUG)
        syslevel -= ZLOG_DEBUG; // debug never reaches the system log
    return pick_mask(syslevel, defaulted);
}

// Checks the name and copies it into the handle; false turns the file log off.
bool take_file_name(s_zpmlog *h, const char *filename) {
    h->logenabled = 0;
    if (!filename || !*filename)
        return false;
    if (strlen(filename) >= kMaxFileName) {
        fputs("log file specified too long\n. Logging disabled.\n", stderr);
        return false;
    }
    snprintf(h->logfilename, sizeof h->logfilename, "%s", filename);
    return true;
}

File open_for_append(s_zpmlog *h) {
    File f(fopen(h->logfilename, "a"));
    if (!f) {
        fprintf(stderr, "Unable to open file: %s\n. Logging disabled.", h->logfilename);
        h->logenabled = 0;
    } else {
        h->logenabled = 1;
    }
    return f;
}

// Sets the three masks; when out is given, records each choice in it.
void set_masks(s_zpmlog *h, int level, int syslevel, int stdlevel, FILE *out) {
    bool dflt = false;
    const char *ts = nullptr;
    const std::string stamp = zpm::time_stamp(time(nullptr));
    ts = stamp.c_str();
    h->loglevel = pick_mask(level, &dflt);
    if (out)
        fprintf(out, "%s Setting %slog level %d\n", ts, dflt ? "default " : "", h->loglevel);
    h->sysloglevel = sys_mask(syslevel, &dflt);
    if (out)
        fprintf(out, "%s Setting %ssyslog level %d\n", ts, dflt ? "default " : "", h->sysloglevel);
    h->stdloglevel = pick_mask(stdlevel, &dflt);
    if (out)
        fprintf(out, "%s Setting %sstderr level %d\n", ts, dflt ? "default " : "", h->stdloglevel);
}

} // namespace

s_zpmlog *log_init(const char *filename, int level, int syslevel, int stdlevel, const char *ident) {
    auto *h = static_cast<s_zpmlog *>(calloc(1, sizeof(s_zpmlog)));
    if (!h)
        return nullptr;
    h->loglevel = h->sysloglevel = h->stdloglevel = kDefaultMask;
    h->level_string = level_names;
    File f;
    if (take_file_name(h, filename))
        f = open_for_append(h);
    set_masks(h, level, syslevel, stdlevel, f.get());
    f.reset();
    h->loginit = 1;
    if (ident) {
        openlog(ident, LOG_PID, LOG_USER);
        syslog_owner = h;
    }
    return h;
}

int log_write(s_zpmlog *h, int level, const char *msg) {
    if (!msg)
        msg = "";
    if (!h) {
        fprintf(stderr, "%s\n", msg);
        return 0;
    }
    const char *name = level_name(h, level);
    if (h->logenabled && (h->loglevel & level) && h->loginit) {
        // One write on a descriptor opened for appending: a stream would
        // seek to the end and stat the file first.
        Fd fd(open(h->logfilename, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
        if (fd.get() >= 0) {
            const std::string line = zpm::time_stamp(time(nullptr)) + " [" + name + "] " +
                                     std::string(msg, strnlen(msg, 1900)) + "\n";
            zpm::write_all(fd.get(), line.data(), line.size());
        }
    }
    if (h->sysloglevel & level)
        syslog(LOG_NOTICE, "[%s] %.1900s\n", name, msg);
    if (h->stdloglevel & level)
        fprintf(stderr, "%s\n", msg);
    return 0;
}

int log_file_new(s_zpmlog *h, const char *filename) {
    if (!h)
        return 0;
    if (!take_file_name(h, filename))
        return 0;
    return open_for_append(h) ? 1 : 0;
}

int log_level_new(s_zpmlog *h, int level, int syslevel, int stdlevel) {
    if (h)
        set_masks(h, level, syslevel, stdlevel, nullptr);
    return 0;
}

void log_free(s_zpmlog *h) {
    if (!h)
        return;
    if (h == syslog_owner) {
        closelog();
        syslog_owner = nullptr;
    }
    free(h);
}

void zlogf(int level, const char *fmt, ...) {
    // A message no sink takes is not even formatted: installs log several
    // debug lines for each of thousands of files.
    if (zpmlog) {
        const s_zpmlog *h = zpmlog;
        int wanted = h->sysloglevel | h->stdloglevel;
        if (h->logenabled && h->loginit)
            wanted |= h->loglevel;
        if (!(wanted & level))
            return;
    }
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(logmsg, LOGMSG_MAX, fmt, ap);
    va_end(ap);
    log_write(zpmlog, level, logmsg);
}
