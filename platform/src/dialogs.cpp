// MessageBoxW as a modal GTK dialog, ShellExecuteW "open" through the
// desktop's default handler. UI thread.
#include <stdio.h>

#include "text_conversion.h"
#include "window_record.h"

namespace {

GtkMessageType DialogKind(UINT type) {
    switch (type & 0xF0) {
    case MB_ICONERROR: return GTK_MESSAGE_ERROR;
    case MB_ICONQUESTION: return GTK_MESSAGE_QUESTION;
    case MB_ICONWARNING: return GTK_MESSAGE_WARNING;
    case MB_ICONINFORMATION: return GTK_MESSAGE_INFO;
    default: return GTK_MESSAGE_OTHER;
    }
}

void OnDialogResponse(GtkDialog*, gint, gpointer data) { *(bool*)data = true; }

}  // namespace

int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    std::string message = Utf16ToUtf8(text);
    std::string title = caption != nullptr ? Utf16ToUtf8(caption) : std::string("Error");
    if (!EnsureGtk()) {
        // No display: the user can still read why in the terminal.
        fprintf(stderr, "%s: %s\n", title.c_str(), message.c_str());
        return IDOK;
    }
    GtkWindow* parent = nullptr;
    if (IsWindow(owner) && !owner->message_only && gtk_widget_get_visible(owner->toplevel)) {
        parent = GTK_WINDOW(owner->toplevel);
    }
    // The text goes in as plain text, never as markup.
    GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, DialogKind(type),
                                               GTK_BUTTONS_OK, "%s", message.c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), title.c_str());
    bool done = false;
    g_signal_connect(dialog, "response", G_CALLBACK(OnDialogResponse), &done);
    gtk_widget_show(dialog);
    RunModalLoop(&done);
    g_signal_handlers_disconnect_by_data(dialog, &done);
    gtk_widget_destroy(dialog);
    return IDOK;
}

HINSTANCE WINAPI ShellExecuteW(HWND, LPCWSTR operation, LPCWSTR file, LPCWSTR, LPCWSTR, INT) {
    const HINSTANCE kDone = (HINSTANCE)(INT_PTR)42;      // above 32: success
    const HINSTANCE kNoHandler = (HINSTANCE)(INT_PTR)31;  // no association
    const HINSTANCE kBadFile = (HINSTANCE)(INT_PTR)2;     // file not found
    if (operation == nullptr || Utf16ToUtf8(operation) != "open") return kNoHandler;
    std::string address = Utf16ToUtf8(file);
    if (address.empty()) return kBadFile;
    GError* error = nullptr;
    if (!g_app_info_launch_default_for_uri(address.c_str(), nullptr, &error)) {
        g_clear_error(&error);
        return kNoHandler;
    }
    return kDone;
}
