#include "testroot.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "loglib.h"
#include "paths.h"

namespace fs = std::filesystem;

namespace zpmtest {

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zpmtest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void make_dirs(const std::string &path) { fs::create_directories(path); }

void write_file(const std::string &path, const std::string &content) {
    fs::path p(path);
    if (p.has_parent_path())
        fs::create_directories(p.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string &path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

int run(const std::string &cmd, std::string *out) {
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        if (out)
            out->append(buf, n);
    int st = pclose(p);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::vector<std::string> ids(ZPI **list) {
    std::vector<std::string> out;
    for (int i = 0; list && list[i]; i++)
        out.push_back(std::string(list[i]->name) + "/" +
                      (list[i]->variant ? list[i]->variant : "") + "/" + list[i]->version);
    return out;
}

void RootTest::SetUp() {
    dir_ = std::make_unique<TempDir>();
    zpm::paths::set_root(dir_->path());
    std::string log = dir_->path() + "/test.log";
    zpmlog = log_init(log.c_str(), 15, 3, 0, nullptr);
    // Keep standard error quiet unless a test asks for it: only errors.
    log_level_new(zpmlog, 15, 3, 1);
}

void RootTest::TearDown() {
    log_free(zpmlog);
    zpmlog = nullptr;
    zpm::paths::set_root("");
    dir_.reset();
}

std::string RootTest::log_text() const { return read_file(dir_->path() + "/test.log"); }

void RootTest::clear_log() { write_file(dir_->path() + "/test.log", ""); }

} // namespace zpmtest
