// The package information record: parser, copy, free, key/value form,
// unique name, matching, sorting and the package file name test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "arr.h"
#include "ekva.h"
#include "ldiflib.h"
#include "recptr.h"
#include "testroot.h"
#include "zpk.h"
#include "zpm.h"

namespace {

using Zpi = ZpiPtr;
using Ekva = EkvaPtr;

const std::string kBase =
    "ezpmVersion: 1.0\nezpkName: foo\nezpkVersion: 1.2\nezpkArchitecture: x86_64\n";

class ZpkParse : public zpmtest::RootTest {
  protected:
    Zpi parse(int type, std::string desc, const char *inst = nullptr) {
        std::string i = inst ? inst : "";
        return Zpi(zpk_info_parse("x", type, desc.data(), inst ? i.data() : nullptr));
    }
};

TEST_F(ZpkParse, MinimalDescriptionFillsRequiredFieldsOnly) {
    Zpi z = parse(3, kBase);
    ASSERT_TRUE(z);
    EXPECT_STREQ(z->name, "foo");
    EXPECT_STREQ(z->version, "1.2");
    EXPECT_EQ(z->arch, ZPK_ARCH_X86_64);
    EXPECT_EQ(z->removable, 1);
    EXPECT_EQ(z->variant, nullptr);
    EXPECT_EQ(z->deps, nullptr);
    EXPECT_EQ(z->datasize, 0u);
    EXPECT_EQ(z->rsa_sig_data_buf, nullptr);
    EXPECT_EQ(z->rsa_verified, 0);
    EXPECT_NE(log_text().find("Package format: 1"), std::string::npos);
}

TEST_F(ZpkParse, OptionalFieldsAndCaseInsensitiveNames) {
    Zpi z = parse(3, "dn: ezpkUid=foo,dc=x\nEZPMVERSION: 1.0\nEZPKNAME: foo\nezpkvariant: dev\n"
                     "ezpkVersion: 2\nezpkArchitecture: mips\nezpkCreator: Ann\n"
                     "ezpkDescription: a tool\nezpkDependency: c\nezpkDependency: a\n"
                     "ezpkDependency: b\nezpkDataSize: 12345\n"
                     "ezpkFileHash: da39a3ee5e6b4b0d3255bfef95601890afd80709\n"
                     "ezpkRsaSigSubj: /CN=x\nezpkRsaSigData:: AAECAw==\n");
    ASSERT_TRUE(z);
    EXPECT_STREQ(z->name, "foo");
    EXPECT_STREQ(z->variant, "dev");
    EXPECT_EQ(z->arch, ZPK_ARCH_MIPS);
    EXPECT_STREQ(z->creator, "Ann");
    EXPECT_STREQ(z->desc, "a tool");
    ASSERT_TRUE(z->deps);
    std::vector<std::string> deps;
    for (char **d = z->deps; *d; d++)
        deps.emplace_back(*d);
    EXPECT_EQ(deps, (std::vector<std::string>{"c", "a", "b"}));
    EXPECT_EQ(z->datasize, 12345u);
    EXPECT_STREQ(z->filehash, "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_STREQ(z->rsa_sig_subj, "/CN=x");
    ASSERT_EQ(z->rsa_sig_data_len, 4);
    EXPECT_EQ(memcmp(z->rsa_sig_data_buf, "\x00\x01\x02\x03", 4), 0);
}

// Values written in base64 come back undelimited from the LDIF reader; the
// record's strings must still end where the value ends.
TEST_F(ZpkParse, Base64TextValuesAreTerminatedStrings) {
    // "two\nlines" and " lead"
    Zpi z = parse(3, kBase + "ezpkDescription:: dHdvCmxpbmVz\nezpkCreator:: IGxlYWQ=\n");
    ASSERT_TRUE(z);
    EXPECT_STREQ(z->desc, "two\nlines");
    EXPECT_STREQ(z->creator, " lead");
}

// Sizes and times are read strictly, digits only and within a signed 64-bit
// quantity; a bad one makes the record invalid ("-1" once became 2^64-1).
TEST_F(ZpkParse, NumbersAreReadStrictly) {
    const char *inst_x = "ezpkInstallTime: 5\nezpkInstallType: X\n";
    // A size that is no number leaves 0; the record stays.
    const struct {
        int type;
        std::string desc;
    } no_size[] = {
        {3, kBase + "ezpkDataSize: lots\n"},
        {3, kBase + "ezpkDataSize: -1\n"},
        {3, kBase + "ezpkDataSize: +7\n"},
        {3, kBase + "ezpkDataSize: 9223372036854775808\n"},
        {1, kBase + "ezpkFileSize: 12k\n"},
        {1, kBase + "ezpkFileSize: 18446744073709551617\n"},
    };
    for (const auto &c : no_size) {
        Zpi z = parse(c.type, c.desc);
        ASSERT_TRUE(z) << c.desc;
        EXPECT_EQ(z->datasize + z->filesize, 0u) << c.desc;
    }
    // A time that is no number makes the record invalid.
    const struct {
        int type;
        std::string desc, inst;
    } bad[] = {
        {2, kBase, "ezpkInstallTime: -5\nezpkInstallType: X\n"},
        {2, kBase, "ezpkInstallTime: 0x10\nezpkInstallType: X\n"},
        {2, kBase, std::string(inst_x) + "ezpkUpdateTime: 99999999999999999999\n"},
        {2, kBase, std::string(inst_x) + "ezpkUpdateTime: 1e9\n"},
    };
    for (const auto &c : bad)
        EXPECT_FALSE(parse(c.type, c.desc, c.type == 2 ? c.inst.c_str() : nullptr))
            << c.desc << c.inst;
    Zpi z = parse(1, kBase + "ezpkDataSize: 9223372036854775807\nezpkFileSize: 0012\n");
    ASSERT_TRUE(z);
    EXPECT_EQ(z->datasize, 9223372036854775807u);
    EXPECT_EQ(z->filesize, 12u);
    Zpi t =
        parse(2, kBase, (std::string(inst_x) + "ezpkUpdateTime: 9223372036854775807\n").c_str());
    ASSERT_TRUE(t);
    EXPECT_EQ(t->update_time[0], INT64_MAX);
}

TEST_F(ZpkParse, LocationFieldsOnlyForTypeOne) {
    std::string d =
        kBase + "ezpkFileSize: 4096\nezpkAbsoluteURI: /srv/foo.zpk\nezpkRelativeURI: foo.zpk\n";
    Zpi one = parse(1, d);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->filesize, 4096u);
    EXPECT_STREQ(one->abs_uri, "/srv/foo.zpk");
    EXPECT_STREQ(one->rel_uri, "foo.zpk");
    Zpi three = parse(3, d);
    ASSERT_TRUE(three);
    EXPECT_EQ(three->filesize, 0u);
    EXPECT_EQ(three->abs_uri, nullptr);
    EXPECT_EQ(three->rel_uri, nullptr);
}

TEST_F(ZpkParse, InstalledRecordReadsInstallationAttributes) {
    Zpi d = parse(2, kBase,
                  "ezpkInstallTime: 1700000000\nezpkUpdateTime: 1700000100\n"
                  "ezpkUpdateTime: 1700000200\nezpkInstallType: D\nezpkInstallHead: app\n");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->install_time, 1700000000);
    ASSERT_TRUE(d->update_time);
    EXPECT_EQ(d->update_time[0], 1700000100);
    EXPECT_EQ(d->update_time[1], 1700000200);
    EXPECT_EQ(d->update_time[2], 0);
    EXPECT_EQ(d->install_type, 'D');
    EXPECT_STREQ(d->install_head, "app");

    Zpi x = parse(2, kBase, "ezpkInstallTime: 5\nezpkInstallType: X\nezpkInstallHead: app\n");
    ASSERT_TRUE(x);
    EXPECT_EQ(x->install_type, 'X');
    EXPECT_EQ(x->install_head, nullptr); // type X reads no head
    EXPECT_EQ(x->update_time, nullptr);
}

struct BadCase {
    const char *what;
    int type;
    std::string desc;
    const char *inst;    // nullptr: none
    const char *message; // "" when the failure is silent
};

TEST_F(ZpkParse, EveryFailureReturnsNullWithItsMessage) {
    const std::string arch = "ezpkArchitecture: x86_64\n";
    const std::string head = "ezpmVersion: 1.0\nezpkName: foo\nezpkVersion: 1\n";
    const BadCase cases[] = {
        {"no format", 3, "ezpkName: foo\nezpkVersion: 1\n" + arch, nullptr,
         "zpk_info_parse: Unspecified package format"},
        {"empty format", 3, "ezpmVersion: \nezpkName: foo\n", nullptr,
         "zpk_info_parse: Unspecified package format"},
        {"format 1.00", 3, "ezpmVersion: 1.00\n", nullptr,
         "zpk_info_parse: Unknown package format 1.00"},
        {"format 1", 3, "ezpmVersion: 1\n", nullptr, "zpk_info_parse: Unknown package format 1"},
        {"no name", 3, "ezpmVersion: 1.0\nezpkVersion: 1\n" + arch, nullptr, ""},
        {"no version", 3, "ezpmVersion: 1.0\nezpkName: foo\n" + arch, nullptr, ""},
        {"no arch", 3, head, nullptr, "zpk_info_parse: Unspecified architecture\n"},
        {"arch case", 3, head + "ezpkArchitecture: X86_64\n", nullptr,
         "zpk_info_parse: Unsupported architecture: X86_64\n"},
        {"no inst", 2, head + arch, nullptr,
         "zpk_info_parse: No install info found, package is corrupt"},
        {"no time", 2, head + arch, "ezpkInstallType: X\n",
         "zpk_info_parse: No install time found, package is corrupt"},
        {"bad time", 2, head + arch, "ezpkInstallTime: soon\nezpkInstallType: X\n",
         "zpk_info_parse: Failed to parse install time"},
        {"empty update", 2, head + arch,
         "ezpkInstallTime: 1\nezpkUpdateTime: \nezpkInstallType: X\n",
         "zpk_info_parse: Failure reading update time, package is corrupt"},
        {"bad update", 2, head + arch,
         "ezpkInstallTime: 1\nezpkUpdateTime: later\nezpkInstallType: X\n",
         "zpk_info_parse: Failed to parse update time"},
        {"no type", 2, head + arch, "ezpkInstallTime: 1\n",
         "zpk_info_parse: No install type found, package is corrupt"},
        {"bad type", 2, head + arch, "ezpkInstallTime: 1\nezpkInstallType: Q\n",
         "zpk_info_parse: Invalid install type: Q"},
        {"D without head", 2, head + arch, "ezpkInstallTime: 1\nezpkInstallType: D\n",
         "zpk_info_parse: No install head found, package is corrupt"},
        {"D empty head", 2, head + arch,
         "ezpkInstallTime: 1\nezpkInstallType: D\nezpkInstallHead: \n",
         "zpk_info_parse: No install head found, package is corrupt"},
    };
    for (const BadCase &c : cases) {
        SCOPED_TRACE(c.what);
        clear_log();
        EXPECT_FALSE(parse(c.type, c.desc, c.inst));
        std::string log = log_text();
        if (*c.message)
            EXPECT_NE(log.find(c.message), std::string::npos) << log;
        else
            EXPECT_EQ(log.find("zpk_info_parse:"), std::string::npos) << log;
    }
}

// A hostile description naming a local file must not pull the file into the
// record, while the LDIF reader itself still follows references for its other
// callers.
TEST_F(ZpkParse, FileReferencesInDescriptionsAreNotFollowed) {
    std::string secret = at("/secret.txt");
    zpmtest::write_file(secret, "root:hash:19000");
    Zpi z = parse(3, kBase + "ezpkDescription:< file://" + secret + "\nezpkCreator:< " + secret +
                         "\n");
    ASSERT_TRUE(z);
    EXPECT_TRUE(z->desc == nullptr || std::string(z->desc).empty());
    EXPECT_TRUE(z->creator == nullptr || std::string(z->creator).empty());
    Zpi named = parse(3, "ezpmVersion: 1.0\nezpkName:< " + secret +
                             "\nezpkVersion: 1\nezpkArchitecture: any\n");
    if (named) { // an empty name at most, never the file's content
        EXPECT_STREQ(named->name, "");
    }

    std::string line = "a:< " + secret + "\n";
    char *attr = nullptr, *value = nullptr;
    int len = 0, type = 0;
    ASSERT_NE(ldif_parse(line.data(), int(line.size()), &attr, &value, &len, &type), nullptr);
    EXPECT_EQ(std::string(value, size_t(len)), "root:hash:19000");
    free(attr);
    free(value);
}

TEST_F(ZpkParse, NullDescriptionIsRefused) {
    EXPECT_FALSE(Zpi(zpk_info_parse("x", 3, nullptr, nullptr)));
}

// --------------------------------------------------------------- copy, free

Zpi full_record() {
    ZPI *z = static_cast<ZPI *>(calloc(1, sizeof(ZPI)));
    z->name = strdup("foo");
    z->variant = strdup("dev");
    z->version = strdup("1.2");
    z->creator = strdup("Ann");
    z->arch = ZPK_ARCH_I686;
    z->desc = strdup("d");
    z->clog = strdup("never copied");
    z->deps = static_cast<char **>(calloc(3, sizeof(char *)));
    z->deps[0] = strdup("a");
    z->deps[1] = strdup("b");
    z->removable = 1;
    z->datasize = 7;
    z->filesize = 9;
    z->filehash = strdup("h");
    z->abs_uri = strdup("/a");
    z->rel_uri = strdup("a");
    z->install_time = 11;
    z->install_type = 'D';
    z->install_head = strdup("head");
    z->update_time = static_cast<time_t *>(calloc(2, sizeof(time_t)));
    z->update_time[0] = 12;
    z->rsa_sig_subj = strdup("/CN=s");
    z->rsa_sig_data_buf = static_cast<unsigned char *>(malloc(3));
    memcpy(z->rsa_sig_data_buf, "\x00\x01\x02", 3);
    z->rsa_sig_data_len = 3;
    z->rsa_verified = -3;
    z->ext_attributes = ekva_new(4, 2);
    ekva_addval(&z->ext_attributes, "k", "v", 0);
    return Zpi(z);
}

TEST(ZpkCopy, DeepCopyDuplicatesEverythingButClogAndExtensions) {
    Zpi src = full_record();
    Zpi c(zpk_info_copy(src.get()));
    ASSERT_TRUE(c);
    char *ZPI::*strs[] = {&ZPI::name,         &ZPI::variant,     &ZPI::version, &ZPI::creator,
                          &ZPI::desc,         &ZPI::filehash,    &ZPI::abs_uri, &ZPI::rel_uri,
                          &ZPI::install_head, &ZPI::rsa_sig_subj};
    for (auto m : strs) {
        const char *a = src.get()->*m;
        const char *b = c.get()->*m;
        ASSERT_TRUE(b);
        EXPECT_STREQ(a, b);
        EXPECT_NE(a, b);
    }
    EXPECT_EQ(c->arch, ZPK_ARCH_I686);
    EXPECT_EQ(c->datasize, 7u);
    EXPECT_EQ(c->filesize, 9u);
    EXPECT_EQ(c->install_time, 11);
    EXPECT_EQ(c->install_type, 'D');
    EXPECT_EQ(c->rsa_verified, -3);
    EXPECT_EQ(c->removable, 1);
    ASSERT_TRUE(c->deps);
    EXPECT_NE(c->deps, src->deps);
    EXPECT_STREQ(c->deps[1], "b");
    EXPECT_EQ(c->deps[2], nullptr);
    ASSERT_TRUE(c->update_time);
    EXPECT_EQ(c->update_time[0], 12);
    EXPECT_EQ(c->update_time[1], 0);
    ASSERT_EQ(c->rsa_sig_data_len, 3);
    EXPECT_NE(c->rsa_sig_data_buf, src->rsa_sig_data_buf);
    EXPECT_EQ(memcmp(c->rsa_sig_data_buf, "\x00\x01\x02", 3), 0);
    EXPECT_EQ(c->clog, nullptr);
    EXPECT_EQ(c->ext_attributes, nullptr);
    // The copy lives on after the source is gone (caught by the sanitizer build).
    src.reset();
    EXPECT_STREQ(c->name, "foo");
}

TEST(ZpkCopy, EmptyListsAndMissingSignature) {
    Zpi src = full_record();
    src->update_time[0] = 0;   // existing but empty list
    src->rsa_sig_data_len = 0; // buffer present, no length: not copied
    for (char **d = src->deps; *d; d++)
        free(*d);
    src->deps[0] = nullptr; // empty dependency list stays empty, not NULL
    Zpi c(zpk_info_copy(src.get()));
    ASSERT_TRUE(c);
    ASSERT_TRUE(c->update_time);
    EXPECT_EQ(c->update_time[0], 0);
    EXPECT_EQ(c->rsa_sig_data_buf, nullptr);
    EXPECT_EQ(c->rsa_sig_data_len, 0);
    ASSERT_TRUE(c->deps);
    EXPECT_EQ(c->deps[0], nullptr);
    EXPECT_EQ(zpk_info_copy(nullptr), nullptr);
    zpk_info_free(nullptr); // accepted
}

// ------------------------------------------------------------ key/value form

std::vector<std::pair<std::string, std::string>> pairs(s_ekva **e) {
    std::vector<std::pair<std::string, std::string>> v;
    for (s_ekva **p = e + 1; *p; p++)
        v.emplace_back((*p)->key, (*p)->val ? (*p)->val : "<NULL>");
    return v;
}

TEST(ZpkEkva, RecordFieldsInOrder) {
    Zpi z = full_record();
    Ekva e(zpk_info_ekva(z.get(), 0));
    ASSERT_TRUE(e);
    EXPECT_STREQ(e.get()[0]->key, "#EKVA_10:40:4");
    using P = std::pair<std::string, std::string>;
    EXPECT_EQ(pairs(e.get()), (std::vector<P>{{"ezpkName", "foo"},
                                              {"ezpkVariant", "dev"},
                                              {"ezpkVersion", "1.2"},
                                              {"ezpkArchitecture", "i686"},
                                              {"ezpkCreator", "Ann"},
                                              {"ezpkDescription", "d"},
                                              {"ezpkDependency", "a"},
                                              {"ezpkDependency", "b"}}));
}

TEST(ZpkEkva, DependencyListShapes) {
    Zpi z = full_record();
    arr_free(z->deps);
    z->deps = nullptr;
    Ekva none(zpk_info_ekva(z.get(), 1));
    auto p = pairs(none.get());
    ASSERT_EQ(p.size(), 7u);
    EXPECT_EQ(p[6], std::make_pair(std::string("ezpkDependency"), std::string("<NULL>")));

    z->deps = static_cast<char **>(calloc(1, sizeof(char *)));
    Ekva empty(zpk_info_ekva(z.get(), 1));
    EXPECT_EQ(pairs(empty.get()).size(), 6u);

    Ekva header(zpk_info_ekva(nullptr, 0));
    auto h = pairs(header.get());
    ASSERT_EQ(h.size(), 7u);
    for (const auto &kv : h)
        EXPECT_EQ(kv.second, "<NULL>") << kv.first;
    EXPECT_EQ(h[3].first, "ezpkArchitecture");
}

// ------------------------------------------------------- names and matching

TEST(ZpkArch, IdsAndNames) {
    const std::pair<const char *, int> table[] = {
        {"any", 1}, {"i686", 2}, {"x86_64", 4}, {"mips", 8}};
    for (const auto &[name, id] : table) {
        EXPECT_EQ(zpk_arch_getid(name), id);
        EXPECT_STREQ(zpk_arch_getname(id), name);
    }
    for (const char *bad : {"X86_64", "", "amd64", "any "})
        EXPECT_EQ(zpk_arch_getid(bad), 99) << bad;
    for (int bad : {0, 3, 16, 99, -1})
        EXPECT_EQ(zpk_arch_getname(bad), nullptr) << bad;
}

TEST(ZpkPuname, WithAndWithoutVariantAndCut) {
    ZPI z{};
    z.name = const_cast<char *>("foo");
    z.version = const_cast<char *>("1.2");
    z.arch = ZPK_ARCH_X86_64;
    EXPECT_STREQ(zpk_puname(&z), "foo_x86_64_1.2");
    z.variant = const_cast<char *>("dev");
    EXPECT_STREQ(zpk_puname(&z), "foo_dev_x86_64_1.2");
    std::string longname(3000, 'n');
    z.name = longname.data();
    EXPECT_EQ(strlen(zpk_puname(&z)), 1023u);
}

TEST(ZpkMatch, NamesAndWildcards) {
    ZPI z{};
    struct Case {
        const char *name, *wild;
        int expected;
    } cases[] = {{"libz", "lib*", 1}, {"zlib", "lib*", 0}, {"zlib", nullptr, 1},
                 {"zlib", "zlib", 1}, {"zlib", "z?ib", 1}, {"zlib", "ZLIB", 0},
                 {"a[b", "a[b", 1},   {"zlib", "", 0}};
    for (const Case &c : cases) {
        z.name = const_cast<char *>(c.name);
        EXPECT_EQ(zpm_zpi_match(&z, c.wild), c.expected)
            << c.name << " ~ " << (c.wild ? c.wild : "NULL");
    }
}

TEST(ZpkSort, StableByName) {
    ZPI b1{}, a{}, b2{}, c{};
    b1.name = const_cast<char *>("b");
    a.name = const_cast<char *>("a");
    b2.name = const_cast<char *>("b");
    c.name = const_cast<char *>("B");
    ZPI *items[] = {&b1, &a, &b2, &c, nullptr};
    ZPI **list = items;
    zpm_zpi_list_sort(&list);
    EXPECT_EQ(items[0], &c); // "B" < "a" in byte order
    EXPECT_EQ(items[1], &a);
    EXPECT_EQ(items[2], &b1);
    EXPECT_EQ(items[3], &b2);
    EXPECT_EQ(items[4], nullptr);

    ZPI *one[] = {&b1, nullptr};
    list = one;
    zpm_zpi_list_sort(&list);
    EXPECT_EQ(one[0], &b1);
    ZPI *none[] = {nullptr};
    list = none;
    zpm_zpi_list_sort(&list);
    EXPECT_EQ(none[0], nullptr);
}

class ZpkFile : public zpmtest::RootTest {};

TEST_F(ZpkFile, ExtensionAndFileType) {
    const struct {
        const char *name, *ext;
    } exts[] = {{"pkg.zpk", "zpk"},  {".zpk", ""}, {"noext", ""},   {"a.b.c", "c"},
                {"dir/.zpk", "zpk"}, {"a.", ""},   {"x.ZPK", "ZPK"}};
    for (const auto &e : exts)
        EXPECT_STREQ(_get_filename_ext(e.name), e.ext) << e.name;

    zpmtest::write_file(at("/p/good.zpk"), "x");
    zpmtest::write_file(at("/p/.zpk"), "x");
    zpmtest::write_file(at("/p/other.zpk.bak"), "x");
    zpmtest::make_dirs(at("/p/dir.zpk"));
    ASSERT_EQ(symlink("good.zpk", at("/p/link.zpk").c_str()), 0);
    ASSERT_EQ(symlink("missing", at("/p/dangling.zpk").c_str()), 0);
    EXPECT_EQ(zpk_file_is_zpk(at("/p/good.zpk").c_str()), 1);
    EXPECT_EQ(zpk_file_is_zpk(at("/p/link.zpk").c_str()), 1);
    EXPECT_EQ(zpk_file_is_zpk(at("/p/.zpk").c_str()),
              1); // the last dot is not the name's first character
    EXPECT_EQ(zpk_file_is_zpk(".zpk"), 0);
    EXPECT_EQ(zpk_file_is_zpk(at("/p/other.zpk.bak").c_str()), 0);
    EXPECT_EQ(zpk_file_is_zpk(at("/p/dir.zpk").c_str()), 0);
    EXPECT_EQ(zpk_file_is_zpk(at("/p/dangling.zpk").c_str()), 0);
    std::string log = log_text();
    EXPECT_NE(log.find("has not suffix zpk"), std::string::npos);
    EXPECT_NE(log.find("could not be stated: No such file or directory"), std::string::npos);
}

} // namespace
