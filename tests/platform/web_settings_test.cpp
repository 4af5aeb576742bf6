// Web view settings through the real WebKitGTK view: with context menus off
// a right click shows no menu, and with developer tools off WebKit's
// developer extras (the inspector) are disabled.
#include <gtest/gtest.h>

#include "web_view.h"
#include "web_view_harness.h"
#include "window_record.h"

namespace {

// Mapped popup windows: a shown context menu is one.
int VisiblePopups() {
    int n = 0;
    GList* windows = gtk_window_list_toplevels();
    for (GList* item = windows; item != nullptr; item = item->next) {
        GtkWindow* window = GTK_WINDOW(item->data);
        if (gtk_window_get_window_type(window) == GTK_WINDOW_POPUP && gtk_widget_get_mapped(GTK_WIDGET(window))) n++;
    }
    g_list_free(windows);
    return n;
}

void ClosePopupMenus() {
    GList* windows = gtk_window_list_toplevels();
    for (GList* item = windows; item != nullptr; item = item->next) {
        GtkWidget* child = gtk_bin_get_child(GTK_BIN(item->data));
        if (child != nullptr && GTK_IS_MENU(child)) gtk_menu_popdown(GTK_MENU(child));
    }
    g_list_free(windows);
}

// Right-clicks the middle of the view as a user would: the press reaches the
// view as a GDK event and WebKit asks the page for its context menu.
void RightClick(WebViewHarness* harness) {
    GtkWidget* view = GTK_WIDGET(FindWebViewIn(harness->window));
    GdkWindow* target = gtk_widget_get_window(view);
    for (GdkEventType type : {GDK_BUTTON_PRESS, GDK_BUTTON_RELEASE}) {
        GdkEvent* event = gdk_event_new(type);
        event->button.window = GDK_WINDOW(g_object_ref(target));
        event->button.send_event = TRUE;
        event->button.time = GDK_CURRENT_TIME;
        event->button.x = gtk_widget_get_allocated_width(view) / 2.0;
        event->button.y = gtk_widget_get_allocated_height(view) / 2.0;
        event->button.button = 3;
        gdk_event_set_device(event, gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_window_get_display(target))));
        gtk_widget_event(view, event);
        gdk_event_free(event);
    }
}

class WebSettings : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(OpenWebView(&harness));
        ASSERT_EQ(harness.view->get_Settings(settings.GetAddressOf()), S_OK);
        ASSERT_TRUE(LoadPage(&harness,
                             "<!doctype html><body style=\"margin:0;height:100vh\">text<script>"
                             "window.chrome.webview.postMessage('ready')</script>",
                             "\"ready\""));
    }
    void TearDown() override {
        settings.Reset();
        CloseWebView(&harness);
    }
    WebViewHarness harness;
    ComPtr<ICoreWebView2Settings> settings;
};

TEST_F(WebSettings, ContextMenuShowsOnlyWhileEnabled) {
    RightClick(&harness);
    EXPECT_TRUE(PumpUntil([] { return VisiblePopups() > 0; })) << "enabled: a right click shows a menu";
    ClosePopupMenus();
    PumpUntil([] { return VisiblePopups() == 0; });

    EXPECT_EQ(settings->put_AreDefaultContextMenusEnabled(FALSE), S_OK);
    ASSERT_EQ(VisiblePopups(), 0);
    RightClick(&harness);
    PumpFor(3 * kQuietWindowMs);
    EXPECT_EQ(VisiblePopups(), 0) << "disabled: no menu";
}

TEST_F(WebSettings, DeveloperToolsFollowTheSetting) {
    WebKitSettings* webkit = webkit_web_view_get_settings(FindWebViewIn(harness.window));
    EXPECT_TRUE(webkit_settings_get_enable_developer_extras(webkit)) << "on by default, as a new view starts";
    EXPECT_EQ(settings->put_AreDevToolsEnabled(FALSE), S_OK);
    EXPECT_FALSE(webkit_settings_get_enable_developer_extras(webkit));
    EXPECT_EQ(settings->put_IsStatusBarEnabled(FALSE), S_OK) << "accepted; there is no status bar";
}

}  // namespace
