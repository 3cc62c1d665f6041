/* User interface: every dialog goes through yad; the text buffer in which
 * callers assemble texts. */
#ifndef ZPM_ZPMUI_H
#define ZPM_ZPMUI_H

#include "ekva.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct s_zpmui {
    int status;    /* 1 after a successful start */
    int ui_type;   /* 3: yad */
    char *info;    /* "yad-<version> zpm interface" */
    char *title;
    char *tmp;     /* scratch line of the callers */
    char *textbuf; /* holds up to textlen characters and a terminator */
    int textlen;
    int textmax;
    void *data;    /* name of the list data file of the open dialog table */
} ZPMUI;

extern ZPMUI *zpmui;
/* How questions are answered: 1 interactive (ask), 2 defaults (take the
 * default where there is one, else ask), 3 force (take the default, never
 * ask).  Set once at start-up from the command line. */
extern int vote_mode;
/* Size of every fresh text buffer; grows with the buffers. */
extern int textmax;

ZPMUI *zpmui_init(const char *uititle);
void zpmui_free(ZPMUI *zpmui);
void zpmui_menu_head(ZPMUI *zpmui);
char *zpmui_line_new(ZPMUI *zpmui, const char *line);
char *zpmui_line_add(ZPMUI *zpmui, const char *line);
int zpmui_write(ZPMUI *zpmui, const char *message, int confirm);
int zpmui_write_info(ZPMUI *zpmui, const char *message, int confirm);
int zpmui_write_file(ZPMUI *zpmui, const char *filename, int confirm);
int zpmui_yesno(ZPMUI *zpmui, const char *question, int default_answer);
int zpmui_write_form(ZPMUI *zpmui, const char *heading, s_ekva **entries);
char *zpmui_select(ZPMUI *zpmui, const char *prompt, s_ekva **choices, char *default_choice,
                   int override_last);
int zpmui_write_table_new(ZPMUI *zpmui, const char *header, s_ekva **head_ekva);
int zpmui_write_table_add(ZPMUI *zpmui, s_ekva **data_ekva, int id);
int zpmui_write_table_end(ZPMUI *zpmui, const char *footer);

/* One message through the caller convention: formats into the text buffer
 * (bounded by textlen) and shows it with zpmui_write_info. */
int zpmui_infof(int confirm, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

#ifdef __cplusplus
}
#endif

#endif
