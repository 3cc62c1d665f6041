// Fixture of the planning tests: records made in the C layout, a catalogue
// held in the cache (answered without a plug-in), and installed packages laid
// out by hand in the temporary root.
#ifndef ZPM_TEST_PLAN_FIXTURE_H
#define ZPM_TEST_PLAN_FIXTURE_H

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "catalogue.h"
#include "hooks.h"
#include "paths.h"
#include "testroot.h"
#include "zpk.h"
#include "zpm.h"

namespace zpmtest {

struct Pkg {
    std::string name;
    std::string version = "1.0";
    std::string variant; // "" for the default variant
    std::vector<std::string> deps;
    int arch = ZPK_ARCH_X86_64;
    uint64_t filesize = 0;
    uint64_t datasize = 0;
};

inline ZPI *mkzpi(const Pkg &p) {
    ZPI *z = static_cast<ZPI *>(calloc(1, sizeof(ZPI)));
    z->name = strdup(p.name.c_str());
    z->version = strdup(p.version.c_str());
    z->variant = p.variant.empty() ? nullptr : strdup(p.variant.c_str());
    z->arch = p.arch;
    z->removable = 1;
    z->filesize = p.filesize;
    z->datasize = p.datasize;
    if (!p.deps.empty()) {
        z->deps = static_cast<char **>(calloc(p.deps.size() + 1, sizeof(char *)));
        for (size_t i = 0; i < p.deps.size(); i++)
            z->deps[i] = strdup(p.deps[i].c_str());
    }
    return z;
}

// A NULL-terminated array of new records.
inline ZPI **mklist(const std::vector<Pkg> &pkgs) {
    ZPI **l = static_cast<ZPI **>(calloc(pkgs.size() + 1, sizeof(ZPI *)));
    for (size_t i = 0; i < pkgs.size(); i++)
        l[i] = mkzpi(pkgs[i]);
    return l;
}

class PlanTest : public RootTest {
  protected:
    void SetUp() override {
        RootTest::SetUp();
        zpm_.arch = ZPK_ARCH_X86_64;
        make_dirs(zpm::paths::installed_dir());
        // What the planner tells its front end.
        zpm::Hooks h;
        h.note = [this](const std::string &line) { notes_ += line; };
        zpm::set_hooks(std::move(h));
    }
    void TearDown() override {
        zpm::set_hooks({});
        zpm_cache_free();
        RootTest::TearDown();
    }
    // The catalogue, in this order.
    void catalogue(const std::vector<Pkg> &pkgs) {
        zpm_cache_free();
        cached_zpis = mklist(pkgs);
    }
    // An installed package: type 'X' explicit, 'D' as a dependency of head.
    void install(const Pkg &p, char type = 'X', const std::string &head = "") {
        std::string dir = zpm::paths::installed_dir() + "/" + p.name;
        std::string desc = "ezpmVersion: 1.0\nezpkName: " + p.name + "\n";
        if (!p.variant.empty())
            desc += "ezpkVariant: " + p.variant + "\n";
        desc +=
            "ezpkVersion: " + p.version + "\nezpkArchitecture: " + zpk_arch_getname(p.arch) + "\n";
        for (const auto &d : p.deps)
            desc += "ezpkDependency: " + d + "\n";
        desc += "ezpkDataSize: " + std::to_string(p.datasize) + "\n";
        desc += "ezpkFileSize: " + std::to_string(p.filesize) + "\n";
        write_file(dir + "/desc.txt", desc);
        std::string inst = "ezpkInstallTime: 1700000000\nezpkInstallType: ";
        inst += type;
        inst += "\n";
        if (!head.empty())
            inst += "ezpkInstallHead: " + head + "\n";
        write_file(dir + "/inst.txt", inst);
    }
    // Builds an unsigned package file into dir with zpk-build; false when
    // the tool is missing or fails.
    bool build_zpk(const std::string &dir, const Pkg &p, const std::string &file) {
        std::string tool = std::string(ZPM_TEST_BINDIR) + "/src/zpk-build/zpk-build";
        if (!exists(tool))
            return false;
        std::string src = root() + "/src-" + file;
        write_file(src + "/info/desc.txt", "ezpmVersion: 1.0\nezpkName: " + p.name + "\n");
        write_file(src + "/data/usr/share/" + p.name + "/README", p.name + "\n");
        std::string deps;
        for (const auto &d : p.deps)
            deps += (deps.empty() ? "" : ",") + d;
        make_dirs(dir);
        std::string cmd = tool + " -u -n " + p.name + " -v " + p.version + " -a " +
                          zpk_arch_getname(p.arch) + " -d '" + deps + "'" +
                          (p.variant.empty() ? "" : " -V " + p.variant) + " -o " + dir + "/" +
                          file + " " + src + " 2>&1";
        std::string out;
        return run(cmd, &out) == 0;
    }
    std::string ui_text() const { return notes_; }
    std::string notes_;
    ZPM zpm_{};
    ZPC zpc_{}; // never read: the cache answers every search
};

} // namespace zpmtest

#endif
