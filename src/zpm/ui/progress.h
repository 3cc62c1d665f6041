// A progress window for long work: `yad --progress`, fed through a pipe.
// It appears only once the work has gone on for longer than a delay, so
// short work never shows it, and closes when the work ends.
//
// zpm stays single-threaded: the first open() starts a small helper process
// that, for this and every later piece of work, waits out the delay, starts
// yad when the work is still going on, and passes on what update() sends.
// When zpm ends or dies, the helper sees its pipe close, closes the window
// and ends.
#ifndef ZPM_UI_PROGRESS_H
#define ZPM_UI_PROGRESS_H

#include <string>
#include <sys/types.h>
#include <vector>

namespace zpm::ui {

class ProgressWindow {
  public:
    ProgressWindow() = default;
    ~ProgressWindow() { shutdown(); }
    ProgressWindow(const ProgressWindow &) = delete;
    ProgressWindow &operator=(const ProgressWindow &) = delete;

    // Starts watching work described by text (the window's heading) under
    // title; the window appears after delay_ms.  False when the helper
    // cannot be started (the work goes on without a window).
    bool open(const std::string &title, const std::string &text, int delay_ms);
    // The bar at percent (0 to 100) and the line below the heading; sent
    // on only when either changed.
    void update(int percent, const std::string &line);
    // While held (a question is being asked) the window is closed and the
    // delay starts afresh on resume().
    void hold();
    void resume();
    // Ends the work: waits until the window, if shown, has closed.
    void close();
    bool is_open() const { return working_ && fd_ >= 0; }
    // Ends the helper (after close() of any work).
    void shutdown();

  private:
    // How long an answer of the helper is waited for: longer than it takes
    // to close a window that does not go by itself.
    static constexpr int kAckMs = 6000;
    bool start_helper();
    void send(const std::string &msg);
    void await_ack(int ms);
    void let_go();
    void reap(bool wait);
    std::vector<pid_t> gone_; // helpers let go, not yet reaped
    pid_t helper_ = -1;
    int fd_ = -1;
    bool working_ = false;
    int percent_ = -1;
    std::string line_;
};

} // namespace zpm::ui

#endif
