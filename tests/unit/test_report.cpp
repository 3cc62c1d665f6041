// Report writers: package details in every layout, package lists as text and
// dialog tables, action lists.  Dialogs go to the recording fake yad; a small
// wrapper in front of it keeps a copy of every file shown with --filename,
// since the list writer removes its temporary file after showing it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "loglib.h"
#include "paths.h"
#include "recptr.h"
#include "report.h"
#include "testroot.h"
#include "zpm.h"
#include "zpmui.h"

namespace fs = std::filesystem;
using zpmtest::read_file;
using zpmtest::write_file;

namespace {

char *dup(const char *s) { return s ? strdup(s) : nullptr; }

char **make_arr(const std::vector<const char *> &items) {
    char **a = static_cast<char **>(calloc(items.size() + 1, sizeof(char *)));
    for (size_t i = 0; i < items.size(); i++)
        a[i] = strdup(items[i]);
    return a;
}

using Zpi = ZpiPtr;

// A record like the parser makes: only name, version and architecture set.
Zpi make_zpi(const char *name, const char *version, int arch = ZPK_ARCH_ANY) {
    ZPI *z = static_cast<ZPI *>(calloc(1, sizeof(ZPI)));
    z->name = dup(name);
    z->version = dup(version);
    z->arch = arch;
    z->removable = 1;
    return Zpi(z);
}

Zpi full_zpi() {
    Zpi z = make_zpi("foo", "2.1", ZPK_ARCH_X86_64);
    z->variant = dup("dev");
    z->creator = dup("me");
    z->desc = dup("A tool");
    z->deps = make_arr({"a", "b"});
    z->datasize = 5000;
    z->filesize = 1500;
    return z;
}

void set_installed(ZPI *z) {
    z->install_time = 86400 + 3661; // 1970-01-02 01:01:01 UTC
    z->install_type = 'D';
    z->install_head = dup("top");
    z->update_time = static_cast<time_t *>(calloc(3, sizeof(time_t)));
    z->update_time[0] = 2 * 86400;
    z->update_time[1] = 2 * 86400 + 59;
}

class ReportTest : public zpmtest::RootTest {
  protected:
    void SetUp() override {
        RootTest::SetUp();
        setenv("TZ", "UTC", 1);
        tzset();
        fy_ = root() + "/fy";
        zpmtest::make_dirs(fy_);
        zpmtest::make_dirs(root() + "/tmp");
        std::string bin = root() + "/bin";
        write_file(bin + "/yad",
                   "#!/bin/bash\n"
                   "for a in \"$@\"; do case \"$a\" in --filename=*)\n"
                   "  n=$(( $(cat \"$FAKE_YAD_DIR/count\" 2>/dev/null || echo 0) + 1 ))\n"
                   "  cp \"${a#--filename=}\" \"$FAKE_YAD_DIR/$n.file\";; esac; done\n"
                   "exec '" ZPM_TEST_SRCDIR "/tests/tools/fake-yad' \"$@\"\n");
        fs::permissions(bin + "/yad", fs::perms::owner_all);
        old_path_ = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
        setenv("PATH", (bin + ":" + old_path_).c_str(), 1);
        setenv("FAKE_YAD_DIR", fy_.c_str(), 1);
        zpmui = zpmui_init("zpm test");
        ASSERT_NE(zpmui, nullptr);
    }
    void TearDown() override {
        zpmui_free(zpmui);
        zpmui = nullptr;
        setenv("PATH", old_path_.c_str(), 1);
        unsetenv("FAKE_YAD_DIR");
        RootTest::TearDown();
    }

    int calls() const {
        std::string c = read_file(fy_ + "/count");
        return c.empty() ? 0 : std::atoi(c.c_str());
    }
    std::vector<std::string> args(int n) const {
        std::string raw = read_file(fy_ + "/" + std::to_string(n) + ".args0");
        std::vector<std::string> out;
        size_t start = 0;
        for (size_t i = 0; i < raw.size(); i++)
            if (raw[i] == '\0') {
                out.push_back(raw.substr(start, i - start));
                start = i + 1;
            }
        return out;
    }
    bool has_arg(int n, const std::string &a) const {
        for (const auto &x : args(n))
            if (x == a)
                return true;
        return false;
    }
    // The value that follows a form field's label argument, or "<none>".
    std::string field(int n, const std::string &label) const {
        auto v = args(n);
        for (size_t i = 0; i + 1 < v.size(); i++)
            if (v[i] == "--field=" + label + ":RO")
                return v[i + 1];
        return "<none>";
    }
    std::string stdin_of(int n) const { return read_file(fy_ + "/" + std::to_string(n) + ".stdin"); }
    std::string shown_file(int n) const { return read_file(fy_ + "/" + std::to_string(n) + ".file"); }
    void answer(const std::string &lines) const { write_file(fy_ + "/answers", lines); }
    bool tmp_is_empty() const { return fs::is_empty(root() + "/tmp"); }

    std::string fy_;
    std::string old_path_;
};

// ------------------------------------------------------------ package details

TEST_F(ReportTest, CsvLineFields) {
    struct Case {
        const char *what;
        Zpi zpi;
        const char *line;
    };
    Zpi empty_deps = make_zpi("x", "1.0");
    empty_deps->deps = make_arr({});
    Zpi two = make_zpi("x", "1.0");
    two->deps = make_arr({"a", "b"});
    Case cases[] = {
        {"bare record", make_zpi("x", "1.0"), "x::1.0:any:::\n"},
        {"empty dependency list", std::move(empty_deps), "x::1.0:any:::\n"},
        {"two dependencies", std::move(two), "x::1.0:any::a|b:\n"},
        {"every field", full_zpi(), "foo:dev:2.1:x86_64:me:a|b:A tool\n"},
    };
    int n = 0;
    for (auto &c : cases) {
        EXPECT_EQ(zpm_zpk_info_write(c.zpi.get(), nullptr, 2, ZPM_FMT_CSV, 0), 0) << c.what;
        n++;
        ASSERT_EQ(calls(), n) << c.what;
        EXPECT_TRUE(has_arg(n, "--text-info")) << c.what;
        EXPECT_EQ(stdin_of(n), c.line) << c.what;
    }
}

TEST_F(ReportTest, TextLayoutLeavesOutAbsentFields) {
    Zpi bare = make_zpi("x", "1.0");
    bare->deps = make_arr({"a", "b"});
    ASSERT_EQ(zpm_zpk_info_write(bare.get(), nullptr, 2, ZPM_FMT_TEXT, 0), 0);
    EXPECT_EQ(stdin_of(1), "Name: x\nVersion: 1.0\nArchitecture: any\n"
                           "Dependency: a\nDependency: b\n");

    Zpi full = full_zpi();
    set_installed(full.get());
    full->rsa_verified = 1; // the text layout has no signature line
    ASSERT_EQ(zpm_zpk_info_write(full.get(), nullptr, 2, ZPM_FMT_TEXT, 0), 0);
    EXPECT_EQ(stdin_of(2), "Name: foo\nVariant: dev\nVersion: 2.1\nArchitecture: x86_64\n"
                           "Creator: me\nDependency: a\nDependency: b\nDescription: A tool\n"
                           "\nInstalled at: 1970-01-02 01:01:01\n"
                           "Installed as: Dependency of top\n"
                           "Updated at: 1970-01-03 00:00:00\nUpdated at: 1970-01-03 00:00:59\n");

    full->install_type = 'X';
    full->install_time = 0;
    ASSERT_EQ(zpm_zpk_info_write(full.get(), nullptr, 2, ZPM_FMT_TEXT, 0), 0);
    std::string t = stdin_of(3);
    EXPECT_EQ(t.find("Installed at"), std::string::npos);
    EXPECT_NE(t.find("Installed as: Explicit request\n"), std::string::npos);
}

TEST_F(ReportTest, LdifEntryOrderAndSignature) {
    Zpi z = full_zpi();
    z->abs_uri = dup("/repo/foo.zpk");
    z->filehash = dup("0123456789abcdef0123456789abcdef01234567");
    z->rsa_sig_subj = dup("/C=XX/O=Zorvek/CN=builder");
    const unsigned char sig[] = {0x00, 0x01, 0x02, 0xff};
    z->rsa_sig_data_buf = static_cast<unsigned char *>(malloc(sizeof sig));
    memcpy(z->rsa_sig_data_buf, sig, sizeof sig);
    z->rsa_sig_data_len = sizeof sig;
    set_installed(z.get());
    ASSERT_EQ(zpm_zpk_info_write(z.get(), nullptr, 2, ZPM_FMT_LDIF, 0), 0);
    EXPECT_EQ(stdin_of(1), "dn: ezpkUid=foo_dev_x86_64_2.1,dc=zorvek,dc=org\n"
                           "ezpkUid: foo_dev_x86_64_2.1\n"
                           "ezpkName: foo\n"
                           "ezpkVariant: dev\n"
                           "ezpkVersion: 2.1\n"
                           "ezpkArchitecture: x86_64\n"
                           "ezpkCreator: me\n"
                           "ezpkDependency: a\n"
                           "ezpkDependency: b\n"
                           "ezpkDescription: A tool\n"
                           "ezpkAbsoluteURI: /repo/foo.zpk\n"
                           "ezpkDataSize: 5000\n"
                           "ezpkFileSize: 1500\n"
                           "ezpkFileHash: 0123456789abcdef0123456789abcdef01234567\n"
                           "ezpkRsaSigSubj: /C=XX/O=Zorvek/CN=builder\n"
                           "ezpkRsaSigData:: AAEC/w==\n"
                           "ezpkInstallTime: 1970-01-02 01:01:01\n"
                           "ezpkInstallType: D\n"
                           "ezpkInstallHead: top\n"
                           "ezpkUpdateTime: 1970-01-03 00:00:00\n"
                           "ezpkUpdateTime: 1970-01-03 00:00:59\n"
                           "\n");
}

TEST_F(ReportTest, LdifBareRecordAndUiwrite) {
    Zpi z = make_zpi("x", "1.0");
    ASSERT_EQ(zpm_zpk_info_write(z.get(), nullptr, 3, ZPM_FMT_LDIF, 0), 0);
    EXPECT_EQ(stdin_of(1), "dn: ezpkUid=x_any_1.0,dc=zorvek,dc=org\nezpkUid: x_any_1.0\n"
                           "ezpkName: x\nezpkVersion: 1.0\nezpkArchitecture: any\n"
                           "ezpkDataSize: 0\nezpkFileSize: 0\n\n");

    zpmui_line_new(zpmui, "");
    EXPECT_EQ(ldif_uiwrite("a", "b", 0, 0), 5);
    EXPECT_EQ(ldif_uiwrite("s", " lead", 0, 0), 13); // leading blank forces base64
    EXPECT_STREQ(zpmui->textbuf, "a: b\ns:: IGxlYWQ=\n");
}

TEST_F(ReportTest, FragmentsAreCutAtTheTextCapacity) {
    std::string long_desc(zpmui->textlen + 100, 'd');
    Zpi z = make_zpi("x", "1.0");
    z->desc = dup(long_desc.c_str());
    ASSERT_EQ(zpm_zpk_info_write(z.get(), nullptr, 2, ZPM_FMT_TEXT, 0), 0);
    std::string shown = stdin_of(1);
    std::string prefix = "Name: x\nVersion: 1.0\nArchitecture: any\n";
    ASSERT_EQ(shown.substr(0, prefix.size()), prefix);
    std::string frag = shown.substr(prefix.size());
    EXPECT_EQ(frag.size(), static_cast<size_t>(65536 - 1)); // limit of the first capacity
    EXPECT_EQ(frag.substr(0, 13), "Description: ");
}

TEST_F(ReportTest, XmlAndTableFormatsShowNothing) {
    Zpi z = full_zpi();
    EXPECT_EQ(zpm_zpk_info_write(z.get(), nullptr, 2, ZPM_FMT_XML, 0), 0);
    EXPECT_EQ(zpm_zpk_info_write(z.get(), nullptr, 2, ZPM_FMT_TABLE, 0), 0);
    EXPECT_EQ(calls(), 0);
}

TEST_F(ReportTest, InfoAlsoWritesToAGivenStream) {
    Zpi z = make_zpi("x", "1.0");
    std::string path = root() + "/info.out";
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(zpm_zpk_info_write(z.get(), f, 2, ZPM_FMT_CSV, 0), 0);
    fclose(f);
    EXPECT_EQ(read_file(path), "x::1.0:any:::\n");
    EXPECT_NE(log_text().find("Writing info to file"), std::string::npos);
}

TEST_F(ReportTest, FormSignatureRows) {
    struct Case {
        int verified;
        const char *row;
    } cases[] = {{1, "Successfully verified"}, {-1, "Missing signature"},
                 {-2, "Untrusted signature"},  {-3, "Invalid signature"},
                 {0, "<none>"},                {-4, "<none>"},
                 {-5, "<none>"}};
    int n = 0;
    for (const auto &c : cases) {
        Zpi z = make_zpi("x", "1.0");
        z->rsa_verified = c.verified;
        zpm_zpk_info_write(z.get(), nullptr, 3, ZPM_FMT_FORM, 0);
        n++;
        ASSERT_EQ(calls(), n);
        EXPECT_EQ(field(n, "Signature"), c.row) << "rsa_verified " << c.verified;
    }
}

TEST_F(ReportTest, FormRowsByType) {
    Zpi z = full_zpi();
    set_installed(z.get());
    answer("7\n");
    EXPECT_EQ(zpm_zpk_info_write(z.get(), nullptr, 2, ZPM_FMT_FORM, 0), 7 << 8)
        << "the form's own result is handed back";
    EXPECT_TRUE(has_arg(1, "--form"));
    EXPECT_EQ(field(1, "Name"), "foo");
    EXPECT_EQ(field(1, "Variant"), "dev");
    EXPECT_EQ(field(1, "Architecture"), "x86_64");
    EXPECT_EQ(field(1, "Dependency"), "a");
    EXPECT_EQ(field(1, "Data size (in bytes)"), "5000");
    EXPECT_EQ(field(1, "File size (in bytes)"), "<none>");
    EXPECT_EQ(field(1, "Installed at"), "1970-01-02 01:01:01");
    EXPECT_EQ(field(1, "Installed as"), "Dependency of top");
    EXPECT_EQ(field(1, "Updated at"), "1970-01-03 00:00:00");
    // Repeated keys show their label once; the second value follows unlabelled.
    auto v = args(1);
    auto dep = std::find(v.begin(), v.end(), "--field=Dependency:RO");
    ASSERT_TRUE(dep != v.end() && v.end() - dep >= 4);
    EXPECT_EQ(*(dep + 2), "--field=:RO");
    EXPECT_EQ(*(dep + 3), "b");

    Zpi file = make_zpi("x", "1.0");
    file->filesize = 1234;
    file->install_time = 99; // only installed packages show install rows
    zpm_zpk_info_write(file.get(), nullptr, 3, ZPM_FMT_FORM, 0);
    EXPECT_EQ(field(2, "File size (in bytes)"), "1234");
    EXPECT_EQ(field(2, "Installed at"), "<none>");
    EXPECT_EQ(field(2, "Variant"), "<none>");
    EXPECT_EQ(field(2, "Description"), "<none>");
}

// ------------------------------------------------------------- package lists

const char *kHeading = "Name (with variant)       Version         Description                        \n"
                       "-------------------       -------         -----------                        \n";

std::string row(const std::string &first, const std::string &version, const std::string &desc) {
    char buf[512];
    snprintf(buf, sizeof buf, "%-25s %-15s %-35s\n", first.c_str(), version.c_str(), desc.c_str());
    return buf;
}

TEST_F(ReportTest, TextTableColumnCuts) {
    std::string n30(30, 'n');
    Zpi a = make_zpi(n30.c_str(), "1.0"); // no variant: 25 characters of the name
    Zpi b = make_zpi("abcdefghijklmnopqrst", "2.0-long-version-text");
    b->variant = dup("variant"); // name_variant is 28 characters: 24 shown
    b->desc = dup("a description longer than thirty-five characters");
    Zpi c = make_zpi("short", "3");
    c->variant = dup("v");
    ZPI *list[] = {a.get(), b.get(), c.get(), nullptr};
    std::string path = root() + "/list.out";
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(zpm_zpk_list_write(f, list, 3, 2, ZPM_FMT_TEXT, 0), 0);
    fclose(f);
    EXPECT_EQ(read_file(path), std::string(kHeading) + row(std::string(25, 'n'), "1.0", "") +
                                   row("abcdefghijklmnopqrst_var", "2.0-long-version-text",
                                       "a description longer than thirty-five characters") +
                                   row("short_v", "3", "") + "\n");
    EXPECT_EQ(calls(), 0) << "a given stream is not shown";
}

TEST_F(ReportTest, TextTableThroughTemporaryFile) {
    Zpi a = make_zpi("liba", "1.0");
    ZPI *list[] = {a.get(), nullptr};
    EXPECT_EQ(zpm_zpk_list_write(nullptr, list, 1, 2, ZPM_FMT_CSV, 0), 0);
    ASSERT_EQ(calls(), 1);
    EXPECT_EQ(shown_file(1), std::string(kHeading) + row("liba", "1.0", "") + "\n");
    bool named = false;
    for (const auto &x : args(1))
        named |= x.rfind("--filename=" + root() + "/tmp/zpi_list", 0) == 0;
    EXPECT_TRUE(named);
    EXPECT_TRUE(tmp_is_empty()) << "the temporary list file is removed";

    ZPI *none[] = {nullptr};
    EXPECT_EQ(zpm_zpk_list_write(nullptr, none, 0, 2, ZPM_FMT_TEXT, 0), 0);
    EXPECT_EQ(shown_file(2), std::string(kHeading) + "\n");
}

TEST_F(ReportTest, ListFailuresEndBeforeAnythingIsShown) {
    fs::remove_all(root() + "/tmp");
    Zpi a = make_zpi("a", "1");
    ZPI *list[] = {a.get(), nullptr};
    EXPECT_EQ(zpm_zpk_list_write(nullptr, list, 1, 2, ZPM_FMT_TEXT, 0), -1);
    EXPECT_NE(log_text().find("[ERROR] Error creating tempfile for list: "), std::string::npos);
    EXPECT_EQ(zpm_zpk_list_write(nullptr, list, 1, 1, ZPM_FMT_TABLE, 0), -1);
    EXPECT_NE(log_text().find("[ERROR] Error creating ui table"), std::string::npos);
    ZPA zpa = {'I', 'R', a.get(), nullptr};
    ZPA *zl[] = {&zpa, nullptr};
    EXPECT_EQ(zpm_zpa_list_write(zl, 1, "h", 0), -1);
    EXPECT_EQ(calls(), 0);
}

TEST_F(ReportTest, DialogTableRowsAndPick) {
    Zpi a = full_zpi();
    Zpi b = make_zpi("bar", "0.9");
    ZPI *list[] = {a.get(), b.get(), nullptr};
    answer("0 2|\n");
    EXPECT_EQ(zpm_zpk_list_write(nullptr, list, 2, 1, ZPM_FMT_TABLE, 1), 2);
    ASSERT_EQ(calls(), 1);
    EXPECT_TRUE(has_arg(1, "--list"));
    EXPECT_TRUE(has_arg(1, "--text=Found 2 matching packages in catalogue\nSelect an entry by "
                           "either double clicking it or else a single click and the press ok"));
    for (const char *col : {"ID", "Name", "Variant", "Version", "Description", "Dependencies"})
        EXPECT_TRUE(has_arg(1, std::string("--column=") + col)) << col;
    EXPECT_EQ(stdin_of(1), "1\nfoo\ndev\n2.1\nA tool\na,b\n2\nbar\n\n0.9\n\n\n");

    // Without detail there is no dependency column; the installed title.
    EXPECT_EQ(zpm_zpk_list_write(nullptr, list, 2, 2, ZPM_FMT_TABLE, 0), 0);
    EXPECT_FALSE(has_arg(2, "--column=Dependencies"));
    EXPECT_TRUE(has_arg(2, "--text=Found 2 matching installed packages\nSelect an entry by "
                           "either double clicking it or else a single click and the press ok"));
    EXPECT_EQ(stdin_of(2), "1\nfoo\ndev\n2.1\nA tool\n2\nbar\n\n0.9\n\n");
}

// --------------------------------------------------------------- action lists

TEST_F(ReportTest, ActionListSizesAndActions) {
    struct Case {
        char action;
        uint64_t filesize, datasize;
        const char *expect; // rows as the list data file holds them
    } cases[] = {
        {'I', 1023, 1024, "install\np\n1\n      0\n      1\n"},
        {'U', 2048 * 1024, 0, "update\np\n1\n   2048\n      0\n"},
        {'D', 0, 10239, "delete\np\n1\n      0\n      9\n"},
        {'N', 0, 0, "\np\n1\n      0\n      0\n"},
    };
    int n = 0;
    for (const auto &c : cases) {
        Zpi z = make_zpi("p", "1");
        z->filesize = c.filesize;
        z->datasize = c.datasize;
        ZPA zpa = {c.action, 'R', z.get(), nullptr};
        ZPA *zl[] = {&zpa, nullptr};
        EXPECT_EQ(zpm_zpa_list_write(zl, 1, "Summary", 1), 0);
        n++;
        EXPECT_EQ(stdin_of(n), std::string("1\n") + c.expect) << c.action;
    }
    for (const char *col : {"Action", "Package", "Version", "Package size in kb",
                            "Installed size in kb"})
        EXPECT_TRUE(has_arg(1, std::string("--column=") + col)) << col;
}

TEST_F(ReportTest, ActionListWithoutDetailAndPickedRow) {
    Zpi a = make_zpi("a", "1");
    Zpi b = make_zpi("b", "2");
    ZPA za = {'I', 'R', a.get(), nullptr};
    ZPA zb = {'I', 'L', b.get(), nullptr};
    ZPA *zl[] = {&za, &zb, nullptr};
    answer("0 2|\n");
    EXPECT_EQ(zpm_zpa_list_write(zl, 99, "Head", 0), 2);
    EXPECT_NE(log_text().find("[ERROR] Error writing ui table"), std::string::npos);
    EXPECT_EQ(stdin_of(1), "1\ninstall\na\n1\n2\ninstall\nb\n2\n");
    EXPECT_FALSE(has_arg(1, "--column=Package size in kb"));
}

} // namespace
