/*
 * A plain top-level window for the attention-tray desktop test.
 *   tray-test-window TITLE [RRGGBB [RRGGBB]]
 * With a colour, the window carries a solid icon of that colour; without,
 * it has no icon at all, so window managers and pagers fall back to theirs.
 * SIGUSR1 switches the icon to the second colour (to exercise icon changes).
 * Prints the window's X id on standard output once it is mapped.
 */
#include <gdk/gdkx.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

static GdkPixbuf *solid_icon(const char *rgb) {
    GdkPixbuf *pb = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 32, 32);
    guint32 pixel = (guint32)strtoul(rgb, NULL, 16);
    gdk_pixbuf_fill(pb, (pixel << 8) | 0xff);
    return pb;
}

static const char *second_colour;

static gboolean switch_icon(gpointer data) {
    GdkPixbuf *pb = solid_icon(second_colour);
    gtk_window_set_icon(GTK_WINDOW(data), pb);
    g_object_unref(pb);
    return G_SOURCE_CONTINUE;
}

static void report_xid(GtkWidget *w, gpointer data) {
    (void)data;
    printf("0x%lx\n", (unsigned long)GDK_WINDOW_XID(gtk_widget_get_window(w)));
    fflush(stdout);
}

int main(int argc, char **argv) {
    GtkWidget *w;

    gtk_init(&argc, &argv);
    if (argc < 2) {
        fprintf(stderr, "usage: tray-test-window TITLE [RRGGBB [RRGGBB]]\n");
        return 2;
    }
    gtk_window_set_default_icon_list(NULL);
    w = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(w), argv[1]);
    gtk_window_set_default_size(GTK_WINDOW(w), 200, 120);
    if (argc > 2) {
        GdkPixbuf *pb = solid_icon(argv[2]);
        gtk_window_set_icon(GTK_WINDOW(w), pb);
        g_object_unref(pb);
    }
    if (argc > 3) {
        second_colour = argv[3];
        g_unix_signal_add(SIGUSR1, switch_icon, w);
    }
    g_signal_connect(w, "map-event", G_CALLBACK(report_xid), NULL);
    g_signal_connect(w, "destroy", G_CALLBACK(gtk_main_quit), NULL);
    gtk_widget_show_all(w);
    gtk_main();
    return 0;
}
