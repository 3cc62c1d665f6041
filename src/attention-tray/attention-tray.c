/*
 * attention-tray: one notification-area icon for every window that asks for
 * attention (urgency hint or demands-attention, itself or via a transient).
 * Clicking the icon brings the window forward.
 *
 * The only state is the icon stored on each WnckWindow under ICON_KEY:
 * present means the window currently has an icon.
 */
#define WNCK_I_KNOW_THIS_IS_UNSTABLE 1

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <libwnck/libwnck.h>
#include <signal.h>
#include <stdio.h>

#define ICON_KEY "wnck-urgency-icon"

/* The attention bits of WnckWindowState: demands-attention | urgent. */
#define ATTENTION_MASK (WNCK_WINDOW_STATE_DEMANDS_ATTENTION | WNCK_WINDOW_STATE_URGENT)

static const char summary[] =
    "Monitor windows with the urgency hint set, and display a notification "
    "icon for each of them.";

static GtkStatusIcon *status_icon_get(WnckWindow *window) {
    return g_object_get_data(G_OBJECT(window), ICON_KEY);
}

static void status_icon_update(WnckWindow *window) {
    GtkStatusIcon *icon = status_icon_get(window);
    GdkPixbuf *mini;

    if (icon == NULL)
        return;
    /* libwnck loads a window's icons on demand and its fallback flag only
     * describes icons already loaded: fetch the mini icon before asking. */
    mini = wnck_window_get_mini_icon(window);
    if (wnck_window_get_icon_is_fallback(window))
        gtk_status_icon_set_from_icon_name(icon, "dialog-information");
    else
        gtk_status_icon_set_from_pixbuf(icon, mini);
    /* Plain text, not markup: the name comes from another client. */
    gtk_status_icon_set_tooltip_text(icon, wnck_window_get_name(window));
}

static void status_icon_activated(GtkStatusIcon *icon, gpointer data) {
    WnckWindow *window = data;
    guint32 now = gtk_get_current_event_time();
    WnckWorkspace *workspace = wnck_window_get_workspace(window);

    (void)icon;
    /* Switch first, so the window manager does not refuse to raise a window
     * that sits on a workspace the user cannot see. */
    if (workspace != NULL)
        wnck_workspace_activate(workspace, now);
    wnck_window_activate(window, now);
}

static void status_icon_create(WnckWindow *window) {
    GtkStatusIcon *icon = gtk_status_icon_new();

    g_object_set_data(G_OBJECT(window), ICON_KEY, icon);
    g_signal_connect(icon, "activate", G_CALLBACK(status_icon_activated), window);
    status_icon_update(window);
}

static void status_icon_remove(WnckWindow *window) {
    GtkStatusIcon *icon = status_icon_get(window);
    if (icon == NULL)
        return;
    gtk_status_icon_set_visible(icon, FALSE);
    g_object_unref(icon);
    g_object_set_data(G_OBJECT(window), ICON_KEY, NULL);
}

static void window_state_changed(WnckWindow *window, WnckWindowState changed,
                                 WnckWindowState new_state, gpointer data) {
    (void)new_state;
    (void)data;
    if ((changed & ATTENTION_MASK) == 0)
        return;
    if (wnck_window_or_transient_needs_attention(window)) {
        if (status_icon_get(window) == NULL)
            status_icon_create(window);
    } else {
        status_icon_remove(window);
    }
}

static void window_icon_changed(WnckWindow *window, gpointer data) {
    (void)data;
    status_icon_update(window);
}

static void window_name_changed(WnckWindow *window, gpointer data) {
    (void)data;
    status_icon_update(window);
}

static void connect_to_window(WnckScreen *screen, WnckWindow *window, gpointer data) {
    (void)screen;
    (void)data;
    if (wnck_window_or_transient_needs_attention(window))
        status_icon_create(window);
    g_signal_connect(window, "state_changed", G_CALLBACK(window_state_changed), NULL);
    g_signal_connect(window, "icon_changed", G_CALLBACK(window_icon_changed), NULL);
    g_signal_connect(window, "name_changed", G_CALLBACK(window_name_changed), NULL);
}

static void disconnect_from_window(WnckScreen *screen, WnckWindow *window, gpointer data) {
    (void)screen;
    (void)data;
    status_icon_remove(window);
}

/* Runs from the main loop, not from the signal handler itself, so quitting
 * is safe at any point. */
static gboolean quit_on_signal(gpointer data) {
    (void)data;
    gtk_main_quit();
    return G_SOURCE_CONTINUE;
}

/* Drop the icons still shown so that nothing of ours is left at exit. */
static void remove_all_icons(WnckScreen *screen) {
    GList *l;
    for (l = wnck_screen_get_windows(screen); l != NULL; l = l->next)
        status_icon_remove(l->data);
}

static int parse_arguments(int *argc, char ***argv) {
    GOptionContext *context = g_option_context_new(NULL);
    GError *error = NULL;

    g_option_context_set_summary(context, summary);
    g_option_context_add_group(context, gtk_get_option_group(TRUE));
    if (!g_option_context_parse(context, argc, argv, &error)) {
        fprintf(stderr, "Error while parsing arguments: %s\n", error->message);
        g_option_context_free(context);
        g_error_free(error);
        return -1;
    }
    g_option_context_free(context);
    return 0;
}

int main(int argc, char **argv) {
    WnckScreen *screen;

    if (parse_arguments(&argc, &argv) != 0)
        return 1;
    gtk_init(&argc, &argv);
    wnck_set_client_type(WNCK_CLIENT_TYPE_PAGER);
    screen = wnck_screen_get_default();
    g_signal_connect(screen, "window_opened", G_CALLBACK(connect_to_window), NULL);
    g_signal_connect(screen, "window_closed", G_CALLBACK(disconnect_from_window), NULL);
    g_unix_signal_add(SIGTERM, quit_on_signal, NULL);
    g_unix_signal_add(SIGINT, quit_on_signal, NULL);
    gtk_main();
    remove_all_icons(screen);
    return 0;
}
