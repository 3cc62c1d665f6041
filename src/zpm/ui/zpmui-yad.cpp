// The user interface: every dialog is one yad command line (see dialog_run.h
// for how it is started).
// Every text that goes into a command (titles, messages, file names, values
// that come from packages) is quoted with shell_quote, so yad receives it as
// one literal argument and the shell never interprets any of it.
#include "zpmui.h"

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "cres.h"
#include "dialog_run.h"
#include "fit.h"
#include "loglib.h"
#include "paths.h"
#include "shell.h"

ZPMUI *zpmui = nullptr;
int textmax = 65536;
int vote_mode = 1;

namespace {

// A reader that stops early (a closed dialog) must not kill zpm with SIGPIPE
// while it still writes the dialog's input; the write just fails.
class SigpipeIgnored {
  public:
    SigpipeIgnored() {
        struct sigaction ign {};
        ign.sa_handler = SIG_IGN;
        sigemptyset(&ign.sa_mask);
        sigaction(SIGPIPE, &ign, &old_);
    }
    ~SigpipeIgnored() { sigaction(SIGPIPE, &old_, nullptr); }
    SigpipeIgnored(const SigpipeIgnored &) = delete;
    SigpipeIgnored &operator=(const SigpipeIgnored &) = delete;

  private:
    struct sigaction old_ {};
};

std::string Q(const char *text) { return shell_quote(text ? text : ""); }

std::string title_of(const ZPMUI *ui) { return Q(ui->title ? ui->title : "zpm"); }

void log_call(const std::string &cmd) {
    if (zpmlog)
        zlogf(ZLOG_DEBUG, "Calling <%s>", cmd.c_str());
}

// Gives the handle a fresh, empty text buffer of the global size.
void fresh_textbuf(ZPMUI *ui) {
    char *buf = static_cast<char *>(std::malloc(static_cast<size_t>(textmax) + 1));
    if (!buf)
        return; // keep the old buffer rather than none
    buf[0] = '\0';
    std::free(ui->textbuf);
    ui->textbuf = buf;
    ui->textlen = textmax;
    ui->textmax = textmax;
}

// Whether the vote mode answers a question with this default by itself.
bool vote_mode_answers(int default_answer) {
    return vote_mode == 3 || (vote_mode == 2 && default_answer >= 0);
}

void drop_data(ZPMUI *ui) {
    std::free(ui->data);
    ui->data = nullptr;
}

// Makes an empty temporary file from one of the fixed templates; "" on failure.
std::string make_temp(const char *fixed_template) {
    std::string name = zpm::paths::tmp_template(fixed_template);
    int fd = mkstemp(name.data());
    if (fd < 0)
        return "";
    close(fd);
    return name;
}

// First line of a command's output without its line end; false when the
// command cannot be started or prints nothing.
bool first_line_of(const std::string &cmd, std::string *line) {
    return zpm::ui::run_dialog_first_line(cmd, line);
}

// Runs a dialog command with text on its standard input; the wait status,
// -1 when it cannot be started.
int run_with_input(const std::string &cmd, const char *text) {
    SigpipeIgnored quiet;
    return zpm::ui::run_dialog_with_input(cmd, text);
}

} // namespace

/* ------------------------------------------------------------ handle */

ZPMUI *zpmui_init(const char *uititle) {
    std::string version;
    if (!first_line_of("yad --version 2>/dev/null", &version))
        return nullptr;
    ZPMUI *ui = static_cast<ZPMUI *>(std::calloc(1, sizeof(ZPMUI)));
    if (!ui)
        return nullptr;
    std::string info = "yad-" + version + " zpm interface";
    ui->info = strdup(info.c_str());
    ui->title = strdup(uititle ? uititle : "zpm");
    ui->textbuf = static_cast<char *>(std::malloc(static_cast<size_t>(textmax) + 1));
    if (!ui->info || !ui->title || !ui->textbuf) {
        zpmui_free(ui);
        return nullptr;
    }
    ui->textbuf[0] = '\0';
    ui->textlen = textmax;
    ui->textmax = textmax;
    ui->status = 1;
    ui->ui_type = 3;
    return ui;
}

void zpmui_free(ZPMUI *ui) {
    if (!ui)
        return;
    std::free(ui->info);
    std::free(ui->title);
    std::free(ui->tmp);
    std::free(ui->textbuf);
    std::free(ui->data);
    std::free(ui);
}

void zpmui_menu_head(ZPMUI *) {}

/* ------------------------------------------------------- text buffer */

namespace {

// Doubles the global size until the current text, line and two more bytes
// fit; the handle follows.  False when memory is short.
bool grow_for(ZPMUI *ui, size_t linelen) {
    size_t cur = ui->textbuf ? std::strlen(ui->textbuf) : 0;
    size_t size = static_cast<size_t>(ui->textmax);
    if (cur + linelen + 2 <= size && ui->textbuf)
        return true;
    while (cur + linelen + 2 > size) {
        textmax *= 2;
        size = static_cast<size_t>(textmax);
    }
    char *buf = static_cast<char *>(std::realloc(ui->textbuf, size + 1));
    if (!buf)
        return false;
    if (!ui->textbuf)
        buf[0] = '\0';
    ui->textbuf = buf;
    ui->textlen = textmax;
    ui->textmax = textmax;
    return true;
}

} // namespace

char *zpmui_line_new(ZPMUI *ui, const char *line) {
    if (!line)
        line = "";
    if (!grow_for(ui, std::strlen(line)))
        return ui->textbuf;
    std::strncpy(ui->textbuf, line, static_cast<size_t>(ui->textlen));
    ui->textbuf[ui->textlen] = '\0';
    return ui->textbuf;
}

char *zpmui_line_add(ZPMUI *ui, const char *line) {
    if (!line)
        line = "";
    if (!grow_for(ui, std::strlen(line)))
        return ui->textbuf;
    std::strncat(ui->textbuf, line, static_cast<size_t>(ui->textlen));
    return ui->textbuf;
}

int zpmui_infof(int confirm, const char *fmt, ...) {
    if (!zpmui || !zpmui->textbuf)
        return -1;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(zpmui->textbuf, static_cast<size_t>(zpmui->textlen), fmt, ap);
    va_end(ap);
    zpmui->textbuf[zpmui->textlen] = '\0';
    return zpmui_write_info(zpmui, zpmui->textbuf, confirm);
}

/* ----------------------------------------------------------- dialogs */

int zpmui_write(ZPMUI *ui, const char *message, int confirm) {
    std::string cmd = "yad --title=" + title_of(ui) + " --center" + (confirm ? " " : "  ") +
                      "--width=800 --height=600  --text-info --no-markup --fontname=monospace "
                      "--button=gtk-ok:0";
    log_call(cmd);
    return run_with_input(cmd, message);
}

int zpmui_write_info(ZPMUI *ui, const char *message, int confirm) {
    if (!zpm::ui::label_fits(message, zpm::ui::kMessageLabel)) {
        // Too tall for a label: the same text in a scrolling view.
        std::string cmd = "yad --title=" + title_of(ui) +
                          " --center  --width=600 --height=400  --text-info --no-markup --wrap "
                          "--button=gtk-ok:0";
        if (confirm == 0)
            cmd += "  --timeout=3";
        return run_with_input(cmd, message);
    }
    std::string cmd = "yad --title=" + title_of(ui) +
                      " --center  --width=400 --height=200  --text " + Q(message) +
                      " --no-markup --button=gtk-ok:0";
    if (confirm == 0)
        cmd += "  --timeout=3";
    return zpm::ui::run_dialog(cmd);
}

int zpmui_write_file(ZPMUI *ui, const char *filename, int) {
    std::string cmd = "yad --title=" + title_of(ui) +
                      " --center --width=800 --height=600 --text-info --filename=" + Q(filename) +
                      " --no-markup --fontname=monospace --buttons-layout=center "
                      "--button=gtk-ok:0";
    log_call(cmd);
    return zpm::ui::run_dialog(cmd);
}

int zpmui_yesno(ZPMUI *ui, const char *question, int default_answer) {
    if (vote_mode_answers(default_answer))
        return default_answer;
    if (!zpm::ui::label_fits(question, zpm::ui::kQuestionLabel)) {
        // Too tall for a label: the same text in a scrolling view, the
        // buttons below it on the screen.
        std::string cmd = "yad  --image \"dialog-question\" --width=800 --height=600 --title " +
                          title_of(ui) + " --button=gtk-yes:0 --button=gtk-no:1 --text-info --wrap";
        log_call(cmd);
        return run_with_input(cmd, question) == 0 ? 1 : 0;
    }
    std::string cmd = "yad  --image \"dialog-question\" --width=600 --title " + title_of(ui) +
                      " --button=gtk-yes:0 --button=gtk-no:1 --text " + Q(question);
    log_call(cmd);
    return zpm::ui::run_dialog(cmd) == 0 ? 1 : 0;
}

int zpmui_write_form(ZPMUI *ui, const char *heading, s_ekva **entries) {
    // A form too tall for the screen scrolls its fields.
    const bool fits = zpm::ui::form_fits(ekva_nument(entries));
    std::string cmd = "yad --form --title=" + title_of(ui) + " --center --width=400 " +
                      (fits ? "--height=400" : "--height=600 --scroll") +
                      " --text=" + Q(heading) + " --buttons-layout=center --button=gtk-ok:0";
    // A run of entries with the same key shows its label once.
    for (int i = 1; entries && entries[0] && entries[i]; i++) {
        const char *prev = entries[i - 1]->key;
        const char *key = entries[i]->key;
        bool repeat = prev && key && std::strcmp(prev, key) == 0;
        if (!repeat)
            cmd += " --field=" + Q((std::string(key ? key : "") + ":RO").c_str());
        else
            cmd += " --field=:RO";
        cmd += " " + Q(entries[i]->val);
    }
    cmd += " >/dev/null 2>&1";
    log_call(cmd);
    return zpm::ui::run_dialog(cmd);
}

char *zpmui_select(ZPMUI *ui, const char *prompt, s_ekva **choices, char *default_choice, int) {
    if (vote_mode == 3)
        return default_choice; // only the force mode answers by itself
    std::string cmd = "yad --entry --title=" + title_of(ui) + " --text " + Q(prompt) +
                      " --no-markup --button=gtk-ok:0 --entry-text ";
    for (int i = 1; choices && choices[0] && choices[i]; i++)
        cmd += " " + Q(choices[i]->val) + " ";
    log_call(cmd);
    std::string answer;
    if (!first_line_of(cmd, &answer))
        return nullptr;
    for (int i = 1; choices && choices[0] && choices[i]; i++)
        if (choices[i]->val && answer == choices[i]->val)
            return choices[i]->key;
    return nullptr;
}

/* ------------------------------------------------------ dialog table */

static const char kTableHint[] =
    "Select an entry by either double clicking it or else a single click and the press ok";

int zpmui_write_table_new(ZPMUI *ui, const char *header, s_ekva **head_ekva) {
    std::string text = header ? std::string(header) + "\n" + kTableHint : kTableHint;
    std::string data = make_temp(zpm::paths::kTmpUiDataTemplate);
    if (data.empty())
        return -1;
    std::string cmd = "yad --list --title=" + title_of(ui) +
                      " --center --width=800 --height=600 --text=" + Q(text.c_str()) +
                      " --print-column=1 --hide-column=1 --buttons-layout=center "
                      "--button=gtk-ok:0 --column='ID'";
    for (int i = 1; head_ekva && head_ekva[0] && head_ekva[i]; i++)
        cmd += " --column=" + Q(head_ekva[i]->key);
    if (cmd.size() > static_cast<size_t>(textmax))
        textmax = static_cast<int>(cmd.size());
    char *buf = static_cast<char *>(std::malloc(static_cast<size_t>(textmax) + 1));
    char *name = strdup(data.c_str());
    if (!buf || !name) {
        std::free(buf);
        std::free(name);
        unlink(data.c_str());
        return -1;
    }
    std::memcpy(buf, cmd.c_str(), cmd.size() + 1);
    std::free(ui->textbuf);
    ui->textbuf = buf;
    ui->textlen = ui->textmax = textmax;
    std::free(ui->data);
    ui->data = name;
    return 0;
}

namespace {

// One value per line: a line end inside a value would shift every later
// column (and the ID yad prints back), so it is shown as a blank.
void write_value_line(FILE *f, const char *val) {
    for (const char *c = val ? val : ""; *c; c++)
        std::fputc((*c == '\n' || *c == '\r') ? ' ' : *c, f);
    std::fputc('\n', f);
}

} // namespace

int zpmui_write_table_add(ZPMUI *ui, s_ekva **data_ekva, int id) {
    if (!ui->data) {
        fresh_textbuf(ui);
        return -1;
    }
    File f(std::fopen(static_cast<char *>(ui->data), "a"));
    if (!f) {
        drop_data(ui);
        fresh_textbuf(ui);
        return -1;
    }
    std::fprintf(f.get(), "%d\n", id);
    for (int i = 1; data_ekva && data_ekva[0] && data_ekva[i]; i++)
        write_value_line(f.get(), data_ekva[i]->val);
    if (std::fclose(f.release()) != 0)
        return -1;
    return 0;
}

namespace {

// Feeds the data file to the table command; *result takes the negated wait
// status.  False when the command cannot be started.
bool run_table(const std::string &cmd, FILE *data, int *result) {
    SigpipeIgnored quiet;
    FILE *p = popen(cmd.c_str(), "w");
    if (!p)
        return false;
    char block[1024];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, data)) > 0)
        if (std::fwrite(block, 1, n, p) != n)
            break; // the dialog stopped reading
    *result = -pclose(p);
    return true;
}

// The ID of the chosen row from the dialog's output; 0 when none was chosen.
int chosen_id(const std::string &outname) {
    int result = 0;
    File out(std::fopen(outname.c_str(), "r"));
    if (!out) {
        std::fprintf(stderr, "Fuck, fopen didn't work!\n");
        return result;
    }
    char line[20];
    if (std::fgets(line, sizeof line, out.get())) {
        int id;
        if (std::sscanf(line, "%d|", &id) == 1)
            result = id;
        else
            std::fprintf(stderr, "Fuck, sscanf didn't work!\n");
    }
    return result;
}

} // namespace

int zpmui_write_table_end(ZPMUI *ui, const char *) {
    std::string outname = make_temp(zpm::paths::kTmpUiOutTemplate);
    File data(ui->data ? std::fopen(static_cast<char *>(ui->data), "r") : nullptr);
    if (!data || !ui->textbuf) {
        if (!outname.empty())
            unlink(outname.c_str());
        fresh_textbuf(ui);
        drop_data(ui);
        return -1;
    }
    std::string dataname = static_cast<char *>(ui->data);
    std::string cmd = ui->textbuf;
    if (!outname.empty())
        cmd += " >" + shell_quote(outname) + " 2>/dev/null";
    else
        cmd += " >/dev/null 2>&1";
    int result = 0;
    bool started = run_table(cmd, data.get(), &result);
    data.reset();
    if (!started) {
        unlink(dataname.c_str());
        if (!outname.empty())
            unlink(outname.c_str());
        fresh_textbuf(ui);
        drop_data(ui);
        return -1;
    }
    drop_data(ui);
    fresh_textbuf(ui);
    if (!outname.empty()) {
        result = chosen_id(outname);
        unlink(outname.c_str());
    }
    unlink(dataname.c_str());
    return result;
}
