// Details of one package: plain text, colon-separated values, LDIF or a
// read-only form.  The texts are assembled in the user-interface buffer and
// shown through it; nothing goes to the terminal from here.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "ldiflib.h"
#include "loglib.h"
#include "util.h"
#include "report.h"
#include "zpk.h"
#include "zpm.h"
#include "zpmui.h"

namespace {

// Base DN of every LDIF entry the reports write.
constexpr const char *kBaseDn = "dc=zorvek,dc=org";

const char *or_empty(const char *s) { return s ? s : ""; }

// One fragment: formatted into a buffer of the text capacity (cut when
// longer), appended to the ui text and, when a stream is given, written there.
void fragment(FILE *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void fragment(FILE *out, const char *fmt, ...) {
    int cap = zpmui->textlen > 0 ? zpmui->textlen : 1;
    std::vector<char> buf(static_cast<size_t>(cap) + 1, '\0');
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf.data(), static_cast<size_t>(cap), fmt, ap);
    va_end(ap);
    zpmui_line_add(zpmui, buf.data());
    if (out)
        fputs(buf.data(), out);
}

// One LDIF attribute line, to the ui text and optionally a stream.
int ldif_fragment(FILE *out, const char *attr, const char *value, int len_value, int type) {
    if (!value)
        return 0;
    if (type != 1)
        len_value = static_cast<int>(strlen(value));
    int len = 0;
    char *line = ldif_write(nullptr, &len, attr, value, len_value, type);
    if (!line)
        return 0;
    zpmui_line_add(zpmui, line);
    if (out)
        fputs(line, out);
    free(line);
    return len;
}

void write_text(const ZPI *zpi, FILE *out) {
    fragment(out, "Name: %s\n", or_empty(zpi->name));
    if (zpi->variant)
        fragment(out, "Variant: %s\n", zpi->variant);
    fragment(out, "Version: %s\n", or_empty(zpi->version));
    fragment(out, "Architecture: %s\n", or_empty(zpk_arch_getname(zpi->arch)));
    if (zpi->creator)
        fragment(out, "Creator: %s\n", zpi->creator);
    for (char **d = zpi->deps; d && *d; d++)
        fragment(out, "Dependency: %s\n", *d);
    if (zpi->desc)
        fragment(out, "Description: %s\n", zpi->desc);
    if (zpi->install_time > 0)
        fragment(out, "\nInstalled at: %s\n", zpm::time_stamp(zpi->install_time).c_str());
    if (zpi->install_type == 'X')
        fragment(out, "Installed as: %s\n", "Explicit request");
    else if (zpi->install_type == 'D')
        fragment(out, "Installed as: Dependency of %s\n", or_empty(zpi->install_head));
    for (time_t *u = zpi->update_time; u && *u; u++)
        fragment(out, "Updated at: %s\n", zpm::time_stamp(*u).c_str());
}

void write_csv(const ZPI *zpi, FILE *out) {
    std::string deps;
    for (char **d = zpi->deps; d && *d; d++) {
        if (d != zpi->deps)
            deps += '|';
        deps += *d;
    }
    fragment(out, "%s", or_empty(zpi->name));
    fragment(out, ":%s", or_empty(zpi->variant));
    fragment(out, ":%s", or_empty(zpi->version));
    fragment(out, ":%s", or_empty(zpk_arch_getname(zpi->arch)));
    fragment(out, ":%s", or_empty(zpi->creator));
    fragment(out, ":%s", deps.c_str());
    fragment(out, ":%s", or_empty(zpi->desc));
    fragment(out, "\n");
}

void write_ldif_install(const ZPI *zpi, FILE *out) {
    if (zpi->install_time > 0)
        ldif_fragment(out, "ezpkInstallTime", zpm::time_stamp(zpi->install_time).c_str(), 0, 0);
    if (zpi->install_type) {
        char t[2] = {zpi->install_type, '\0'};
        ldif_fragment(out, "ezpkInstallType", t, 0, 0);
    }
    ldif_fragment(out, "ezpkInstallHead", zpi->install_head, 0, 0);
    for (time_t *u = zpi->update_time; u && *u; u++)
        ldif_fragment(out, "ezpkUpdateTime", zpm::time_stamp(*u).c_str(), 0, 0);
}

void write_ldif(const ZPI *zpi, const std::string &uname, FILE *out) {
    fragment(out, "dn: ezpkUid=%s,%s\n", uname.c_str(), kBaseDn);
    ldif_fragment(out, "ezpkUid", uname.c_str(), 0, 0);
    ldif_fragment(out, "ezpkName", zpi->name, 0, 0);
    ldif_fragment(out, "ezpkVariant", zpi->variant, 0, 0);
    ldif_fragment(out, "ezpkVersion", zpi->version, 0, 0);
    ldif_fragment(out, "ezpkArchitecture", zpk_arch_getname(zpi->arch), 0, 0);
    ldif_fragment(out, "ezpkCreator", zpi->creator, 0, 0);
    for (char **d = zpi->deps; d && *d; d++)
        ldif_fragment(out, "ezpkDependency", *d, 0, 0);
    ldif_fragment(out, "ezpkDescription", zpi->desc, 0, 0);
    ldif_fragment(out, "ezpkAbsoluteURI", zpi->abs_uri, 0, 0);
    ldif_fragment(out, "ezpkRelativeURI", zpi->rel_uri, 0, 0);
    ldif_fragment(out, "ezpkDataSize", std::to_string(static_cast<long>(zpi->datasize)).c_str(),
                  0, 0);
    ldif_fragment(out, "ezpkFileSize", std::to_string(static_cast<long>(zpi->filesize)).c_str(),
                  0, 0);
    ldif_fragment(out, "ezpkFileHash", zpi->filehash, 0, 0);
    ldif_fragment(out, "ezpkRsaSigSubj", zpi->rsa_sig_subj, 0, 0);
    if (zpi->rsa_sig_data_len > 0 && zpi->rsa_sig_data_buf)
        ldif_fragment(out, "ezpkRsaSigData", reinterpret_cast<const char *>(zpi->rsa_sig_data_buf),
                      zpi->rsa_sig_data_len, 1);
    write_ldif_install(zpi, out);
    fragment(out, "\n");
}

const char *signature_text(int verified) {
    switch (verified) {
    case 1:
        return "Successfully verified";
    case -1:
        return "Missing signature";
    case -2:
        return "Untrusted signature";
    case -3:
        return "Invalid signature";
    default:
        return nullptr;
    }
}

void form_add(s_ekva ***form, const char *key, const char *val) {
    ekva_addval(form, key, val, EKVA_ADD_APPEND);
}

void form_installed(const ZPI *zpi, s_ekva ***form) {
    if (zpi->install_time > 0)
        form_add(form, "Installed at", zpm::time_stamp(zpi->install_time).c_str());
    if (zpi->install_type == 'X') {
        form_add(form, "Installed as", "Explicit request");
    } else if (zpi->install_type == 'D') {
        std::string head = std::string("Dependency of ") + or_empty(zpi->install_head);
        form_add(form, "Installed as", head.c_str());
    }
    for (time_t *u = zpi->update_time; u && *u; u++)
        form_add(form, "Updated at", zpm::time_stamp(*u).c_str());
}

int write_form(const ZPI *zpi, int type) {
    s_ekva **form = ekva_new(20, EKVA_ADD_APPEND);
    if (!form)
        return -1;
    form_add(&form, "Name", zpi->name);
    if (zpi->variant)
        form_add(&form, "Variant", zpi->variant);
    form_add(&form, "Version", zpi->version);
    form_add(&form, "Architecture", zpk_arch_getname(zpi->arch));
    form_add(&form, "Creator", zpi->creator);
    if (zpi->desc)
        form_add(&form, "Description", zpi->desc);
    if (const char *sig = signature_text(zpi->rsa_verified))
        form_add(&form, "Signature", sig);
    for (char **d = zpi->deps; d && *d; d++)
        form_add(&form, "Dependency", *d);
    form_add(&form, "Data size (in bytes)", std::to_string(static_cast<long>(zpi->datasize)).c_str());
    if (type == ZPM_INFO_ZPKFILE)
        form_add(&form, "File size (in bytes)",
                 std::to_string(static_cast<long>(zpi->filesize)).c_str());
    if (type == ZPM_INFO_INSTALLED)
        form_installed(zpi, &form);
    int rc = zpmui_write_form(zpmui, "Package details", form);
    ekva_free(form);
    return rc;
}

} // namespace

int ldif_uiwrite(const char *attr, const char *value, int len_value, int type) {
    if (!zpmui)
        return 0;
    return ldif_fragment(nullptr, attr, value, len_value, type);
}

int zpm_zpk_info_write(ZPI *zpi, FILE *outfile, int type, int list_format, int /*detail*/) {
    if (!zpi || !zpmui)
        return -1;
    if (list_format == ZPM_FMT_FORM)
        return write_form(zpi, type);
    zlogf(ZLOG_DEBUG, "%s", outfile ? "Writing info to file" : "Writing info to ui");
    // zpk_puname hands out a static buffer; keep our own copy.
    std::string uname = or_empty(zpk_puname(zpi));
    zpmui_line_new(zpmui, "");
    switch (list_format) {
    case ZPM_FMT_TEXT:
        write_text(zpi, outfile);
        zpmui_write(zpmui, zpmui->textbuf, 1);
        break;
    case ZPM_FMT_LDIF:
        write_ldif(zpi, uname, outfile);
        zpmui_write(zpmui, zpmui->textbuf, 0);
        break;
    case ZPM_FMT_CSV:
        write_csv(zpi, outfile);
        zpmui_write(zpmui, zpmui->textbuf, 0);
        break;
    default: // XML and the dialog table have no details layout
        break;
    }
    return 0;
}
