// Shared fixture of the unit tests: a temporary root directory that the
// paths module points at, a log that writes into it, and file helpers.
#ifndef ZPM_TEST_TESTROOT_H
#define ZPM_TEST_TESTROOT_H

#include <gtest/gtest.h>

#include "zpm/zpc.h"

#include <string>
#include <vector>

namespace zpmtest {

// Creates a fresh directory under $TMPDIR (or /tmp); removes it on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

  private:
    std::string path_;
};

void write_file(const std::string &path, const std::string &content); // makes parents
std::string read_file(const std::string &path);                        // "" when missing
bool exists(const std::string &path);
void make_dirs(const std::string &path);
// Runs a shell command, returns its exit status; output goes to *out when given.
int run(const std::string &cmd, std::string *out = nullptr);
// "name/variant/version" of each record of a NULL-terminated list: the
// identity tests compare search results by.
std::vector<std::string> ids(ZPI **list);

// A temporary root for the paths module, with a log file inside it
// (root + "/test.log", all levels) as the global zpmlog.  Everything is
// restored in the destructor.
class RootTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::string root() const { return dir_->path(); }
    std::string at(const std::string &abs) const { return dir_->path() + abs; }
    std::string log_text() const; // what the log file holds so far
    void clear_log();

  private:
    std::unique_ptr<TempDir> dir_;
};

} // namespace zpmtest

#endif
