/* A catalogue back end as a third party writes one: C, the installed header
 * only (cc -shared -fPIC $(pkg-config --cflags zpm-zpc)), nothing of zpm
 * linked.  It serves the package files of one directory, named by the
 * configuration key "example_dir", and reads them with the services zpm
 * exports.  Built with -DEXAMPLE_ABI=N it claims interface version N. */
#include <dirent.h>
#include <fnmatch.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <zpm/zpc.h>

typedef struct {
    ZPC zpc; /* first: zpm sees a ZPC */
    s_zpmlog *log;
    char dir[1024];
    ZPI **recs;
    int count;
} Example;

#ifdef EXAMPLE_ABI
int zpc_abi_version(void) { return EXAMPLE_ABI; }
#endif

static void say(Example *e, int level, const char *what, const char *arg) {
    char text[1200];
    snprintf(text, sizeof text, "zpc-example: %s %s", what, arg);
    log_write(e->log, level, text);
}

static int is_package(const char *name) {
    size_t n = strlen(name);
    return n > 4 && name[0] != '.' && strcmp(name + n - 4, ".zpk") == 0;
}

ZPC *zpc_connect(s_ekva **conf, s_zpmlog *log) {
    Example *e = calloc(1, sizeof *e);
    const char *dir = ekva_getval(conf, "example_dir");
    if (!e || !dir)
        return NULL;
    e->log = log;
    snprintf(e->dir, sizeof e->dir, "%s%s", zpm_root_prefix(), dir);
    DIR *d = opendir(e->dir);
    struct dirent *de;
    while (d && (de = readdir(d)) != NULL) {
        char path[2048];
        if (!is_package(de->d_name))
            continue;
        snprintf(path, sizeof path, "%s/%s", e->dir, de->d_name);
        ZPI *z = zpm_zpf_info(path, 0);
        if (!z)
            continue;
        free(z->abs_uri);
        z->abs_uri = strdup(path);
        ZPI **grown = realloc(e->recs, (size_t)(e->count + 2) * sizeof *grown);
        if (!grown) {
            zpk_info_free(z);
            break;
        }
        e->recs = grown;
        e->recs[e->count++] = z;
        e->recs[e->count] = NULL;
        say(e, 4, "serving", zpk_puname(z));
    }
    if (d)
        closedir(d);
    return &e->zpc;
}

int zpc_refresh(ZPC *zpc) { return zpc ? 0 : -1; }

int zpc_findpkg(ZPC *zpc, char *name, char *variant, char *version, int arch,
                s_ekva **ext_attributes, ZPI ***list) {
    Example *e = (Example *)zpc;
    (void)version;
    (void)ext_attributes;
    ZPI **out = calloc((size_t)e->count + 1, sizeof *out);
    int n = 0;
    for (int i = 0; out && i < e->count; i++) {
        ZPI *z = e->recs[i];
        if (fnmatch(name, z->name, 0) == 0 && zpk_variant_accepts(z, variant) &&
            (arch == 0 || (z->arch & arch)))
            out[n++] = zpk_info_copy(z);
    }
    if (n == 0) {
        free(out);
        return 0;
    }
    *list = out;
    return n;
}

int zpc_readpkg(ZPC *zpc, ZPI *zpi, FILE *out) {
    Example *e = (Example *)zpc;
    for (int i = 0; i < e->count; i++) {
        if (strcmp(e->recs[i]->abs_uri, zpi->abs_uri ? zpi->abs_uri : "") != 0)
            continue;
        FILE *in = fopen(e->recs[i]->abs_uri, "rb");
        char buf[65536];
        size_t got;
        int total = 0;
        while (in && (got = fread(buf, 1, sizeof buf, in)) > 0 && fwrite(buf, 1, got, out) == got)
            total += (int)got;
        if (in)
            fclose(in);
        say(e, 4, "delivered", zpk_puname(zpi));
        return total;
    }
    return -1;
}

int zpc_release(ZPC *zpc) {
    Example *e = (Example *)zpc;
    for (int i = 0; e && i < e->count; i++)
        zpk_info_free(e->recs[i]);
    if (e)
        free(e->recs);
    free(e);
    return 0;
}
