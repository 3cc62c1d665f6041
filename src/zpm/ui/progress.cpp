#include "progress.h"
#include "util.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace zpm::ui {

namespace {

// What zpm tells the helper, one line each: "T<title>" and then
// "W<delay> <text>" (a piece of work begins: its window's title and heading,
// shown after delay ms), "P<percent> <line>" (the state of the work), "H"
// (hold: a question is being asked; answered with "h" once the window is
// closed), "G" (go on), "E" (the work is over; answered with "e" once the
// window is closed).  One helper serves every piece of work of a zpm run, so
// a transaction of many packages starts one process, not one per package;
// the end of the stream ends the helper.

long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool write_all(int fd, const std::string &s) {
    return zpm::write_all(fd, s.data(), s.size());
}

// The helper process: waits out the delay, runs yad and feeds it.
class Helper {
  public:
    // keyboard: the keyboard's signals zpm was started with ignored, which
    // its window keeps ignored as zpm's dialogs do.
    Helper(int in, std::vector<int> keyboard) : in_(in), keep_ignored_(std::move(keyboard)) {}
    [[noreturn]] void run();

  private:
    void start_yad();
    void stop_yad(bool finished);
    void handle(const std::string &msg);
    void to_yad(const std::string &s);
    int timeout() const;

    int in_;
    std::vector<int> keep_ignored_;
    std::string title_, text_;
    int delay_ms_ = 0;
    long long deadline_ = 0;
    bool working_ = false;
    bool held_ = false;
    bool shown_ = false; // yad was started since the last hold
    pid_t yad_ = -1;
    int to_yad_ = -1;
    std::string percent_ = "0", line_;
};

int Helper::timeout() const {
    if (!working_ || shown_ || held_)
        return -1;
    long long left = deadline_ - now_ms();
    return left < 0 ? 0 : static_cast<int>(left);
}

void Helper::run() {
    std::string buf;
    char chunk[4096];
    for (;;) {
        pollfd p{in_, POLLIN, 0};
        int r = poll(&p, 1, timeout());
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0) {
            start_yad();
            continue;
        }
        ssize_t n = read(in_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        buf.append(chunk, static_cast<size_t>(n));
        for (size_t nl; (nl = buf.find('\n')) != std::string::npos; buf.erase(0, nl + 1))
            handle(buf.substr(0, nl));
    }
    stop_yad(true);
    _exit(0);
}

void Helper::handle(const std::string &msg) {
    if (msg.size() > 1 && msg[0] == 'T') {
        title_ = msg.substr(1);
    } else if (msg.size() > 1 && msg[0] == 'W') {
        size_t sp = msg.find(' ');
        delay_ms_ = std::atoi(msg.c_str() + 1);
        text_ = sp == std::string::npos ? "" : msg.substr(sp + 1);
        deadline_ = now_ms() + delay_ms_;
        working_ = true;
        held_ = shown_ = false;
        percent_ = "0";
        line_.clear();
    } else if (msg == "E") {
        working_ = held_ = false;
        stop_yad(true);
        write_all(in_, "e\n");
    } else if (msg == "H") {
        held_ = true;
        stop_yad(false);
        write_all(in_, "h\n");
    } else if (msg == "G" && held_) {
        held_ = false;
        deadline_ = now_ms() + delay_ms_;
    } else if (msg.size() > 1 && msg[0] == 'P') {
        size_t sp = msg.find(' ');
        percent_ = msg.substr(1, sp == std::string::npos ? std::string::npos : sp - 1);
        line_ = sp == std::string::npos ? "" : msg.substr(sp + 1);
        to_yad(percent_ + "\n#" + line_ + "\n");
    }
}

void Helper::to_yad(const std::string &s) {
    if (to_yad_ >= 0 && !write_all(to_yad_, s)) {
        ::close(to_yad_); // the window was closed: the work goes on without it
        to_yad_ = -1;
    }
}

void Helper::start_yad() {
    shown_ = true;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    std::vector<std::string> argv = {
        "yad",          "--progress",      "--title=" + title_, "--center",     "--width=500",
        "--borders=12", "--text=" + text_, "--no-markup",       "--no-buttons", "--auto-close"};
    const pid_t helper = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // The keyboard's signals as zpm's other dialogs get them; and a
        // helper that dies takes its window with it.
        for (int sig : {SIGINT, SIGQUIT})
            if (std::find(keep_ignored_.begin(), keep_ignored_.end(), sig) == keep_ignored_.end())
                signal(sig, SIG_DFL);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != helper)
            _exit(0);
        dup2(fds[0], 0);
        std::vector<char *> av;
        for (auto &a : argv)
            av.push_back(a.data());
        av.push_back(nullptr);
        execvp(av[0], av.data());
        _exit(127);
    }
    ::close(fds[0]);
    if (pid < 0) {
        ::close(fds[1]);
        return;
    }
    yad_ = pid;
    to_yad_ = fds[1];
    to_yad(percent_ + "\n#" + line_ + "\n");
}

// Closes the window: at the end of the work with the bar full; yad gets a
// moment to go by itself before it is told to.
void Helper::stop_yad(bool finished) {
    shown_ = false;
    if (finished)
        to_yad("100\n");
    if (to_yad_ >= 0)
        ::close(to_yad_);
    to_yad_ = -1;
    if (yad_ < 0)
        return;
    int status;
    for (int i = 0; i < 100 && waitpid(yad_, &status, WNOHANG) == 0; i++)
        usleep(20000);
    if (waitpid(yad_, &status, WNOHANG) == 0) {
        kill(yad_, SIGTERM);
        waitpid(yad_, &status, 0);
    }
    yad_ = -1;
}

// The helper's descriptors: the stream from zpm as standard input, nothing
// else of zpm's (its lock, its log, its terminal) kept open.
void settle_fds(int in) {
    if (in != 0) {
        dup2(in, 0);
        ::close(in);
    }
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 1);
        dup2(null, 2);
    }
    close_range(3, ~0U, 0);
}

std::string one_line(const std::string &s) {
    std::string out = s;
    for (char &c : out)
        if (c == '\n' || c == '\r')
            c = ' ';
    return out;
}

} // namespace

bool ProgressWindow::start_helper() {
    std::vector<int> ignored;
    for (int sig : {SIGINT, SIGQUIT}) {
        struct sigaction now {};
        if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler == SIG_IGN)
            ignored.push_back(sig);
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return false;
    pid_t pid = fork();
    if (pid == 0) {
        // The helper outlives no zpm: it ends when zpm's end closes its
        // stream, not on a keyboard signal zpm itself ignores meanwhile.
        signal(SIGPIPE, SIG_IGN);
        signal(SIGINT, SIG_IGN);
        signal(SIGQUIT, SIG_IGN);
        ::close(sv[0]);
        settle_fds(sv[1]);
        Helper(0, std::move(ignored)).run();
    }
    ::close(sv[1]);
    if (pid < 0) {
        ::close(sv[0]);
        return false;
    }
    helper_ = pid;
    fd_ = sv[0];
    return true;
}

bool ProgressWindow::open(const std::string &title, const std::string &text, int delay_ms) {
    close();
    reap(false);
    // A helper found gone is replaced once.
    for (int tries = 0; tries < 2; tries++) {
        if (fd_ < 0 && !start_helper())
            return false;
        send("T" + one_line(title) + "\n");
        send("W" + std::to_string(delay_ms) + " " + one_line(text) + "\n");
        if (fd_ >= 0)
            break;
    }
    working_ = fd_ >= 0;
    percent_ = -1;
    line_.clear();
    return working_;
}

void ProgressWindow::send(const std::string &msg) {
    size_t off = 0;
    while (fd_ >= 0 && off < msg.size()) {
        ssize_t n = ::send(fd_, msg.data() + off, msg.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            let_go(); // the helper is gone; the work goes on
            break;
        }
        off += static_cast<size_t>(n);
    }
}

void ProgressWindow::update(int percent, const std::string &line) {
    percent = percent < 0 ? 0 : percent > 100 ? 100 : percent;
    if (!is_open() || (percent == percent_ && line == line_))
        return;
    percent_ = percent;
    line_ = line;
    send("P" + std::to_string(percent) + " " + one_line(line) + "\n");
}

// The question must not appear under the window: waits (a few seconds at
// most) until the helper has closed it.
void ProgressWindow::hold() {
    if (!is_open())
        return;
    send("H\n");
    await_ack(kAckMs);
}

void ProgressWindow::resume() {
    if (is_open())
        send("G\n");
}

// Waits (up to ms) for the helper's answer.  A helper that is gone, or does
// not answer in time, is let go: an answer that came late must not stand for
// the next one.
void ProgressWindow::await_ack(int ms) {
    pollfd p{fd_, POLLIN, 0};
    char ack[2];
    const long long until = now_ms() + ms;
    int r = -1;
    while (fd_ >= 0 && (r = poll(&p, 1, static_cast<int>(std::max(0LL, until - now_ms())))) < 0 &&
           errno == EINTR) {
    }
    if (fd_ < 0 || (r == 1 && recv(fd_, ack, sizeof ack, 0) == sizeof ack))
        return;
    // Stuck (its window may not go): killed at once, its window with it.
    if (r == 0 && helper_ > 0)
        kill(helper_, SIGKILL);
    let_go();
}

// The window closes by itself within about two seconds of the end; the
// helper answers once it has.
void ProgressWindow::close() {
    if (!is_open())
        return;
    working_ = false;
    send("E\n");
    await_ack(kAckMs);
}

// The helper sees its stream end, closes its window and ends; it is reaped
// once it has, at the latest by shutdown().
void ProgressWindow::let_go() {
    working_ = false;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    if (helper_ > 0)
        gone_.push_back(helper_);
    helper_ = -1;
}

namespace {

// Whether pid ends within ms: watched through a process descriptor where
// the kernel has them, else looked at every millisecond.
bool ends_within(pid_t pid, int ms) {
    int pfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pfd >= 0) {
        pollfd p{pfd, POLLIN, 0};
        int r;
        while ((r = poll(&p, 1, ms)) < 0 && errno == EINTR) {
        }
        ::close(pfd);
        return r == 1;
    }
    for (int i = 0; i < ms; i++) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
            info.si_pid != 0)
            return true;
        usleep(1000);
    }
    return false;
}

} // namespace

// Reaps the helpers let go that have ended; with wait, every one, those
// that do not end within a few seconds killed (their windows go with them).
void ProgressWindow::reap(bool wait) {
    for (auto it = gone_.begin(); it != gone_.end();) {
        int status;
        pid_t r = waitpid(*it, &status, WNOHANG);
        if (r == 0 && wait) {
            if (!ends_within(*it, 5000))
                kill(*it, SIGKILL);
            r = waitpid(*it, &status, 0);
        }
        it = r != 0 ? gone_.erase(it) : it + 1;
    }
}

void ProgressWindow::shutdown() {
    let_go();
    reap(true);
}

} // namespace zpm::ui
