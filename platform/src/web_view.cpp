// The layer's web view objects on WebKitGTK: environment, controller, view,
// settings and event arguments, the page bridge (window.chrome.webview) and
// the navigation checks. UI thread; completions are delivered from the loop.
#include "web_view.h"

#include <string.h>

#include <algorithm>
#include <new>

#include "text_conversion.h"
#include "velkin_names.h"
#include "window_record.h"

namespace {

const char kBridgeHandler[] = "velkinBridge";
const char kDeliverName[] = "_velkinDeliver";
// WebView2 reports a missing runtime with this code (file not found).
const HRESULT kNoWebView = (HRESULT)0x80070002L;
const HRESULT kAborted = (HRESULT)0x80004004L;

// Installs window.chrome.webview in the layer's own page before its script
// runs. Other documents get nothing: they cannot learn the token, so the
// host ignores whatever they post.
const char kBridgeScript[] = R"JS((function () {
  'use strict';
  if (location.protocol + '//' + location.host !== '@ORIGIN@') return;
  const channel = window.webkit && window.webkit.messageHandlers &&
      window.webkit.messageHandlers.@HANDLER@;
  if (!channel) return;
  const send = channel.postMessage.bind(channel);
  const TOKEN = '@TOKEN@';
  const target = new EventTarget();
  let listening = false;
  const webview = {
    postMessage(message) {
      const json = JSON.stringify(message);
      if (typeof json !== 'string') throw new TypeError('postMessage: the message is not JSON');
      send(TOKEN + 'm' + json);
    },
    addEventListener(type, listener, options) {
      target.addEventListener(type, listener, options);
      if (type === 'message' && !listening) {
        listening = true;
        send(TOKEN + 'l');
      }
    },
    removeEventListener(type, listener, options) {
      target.removeEventListener(type, listener, options);
    },
  };
  Object.defineProperty(webview, '@DELIVER@', {
    value(text) {
      let data;
      try { data = JSON.parse(text); } catch (e) { return; }
      target.dispatchEvent(new MessageEvent('message', { data: data }));
    },
  });
  if (typeof window.chrome !== 'object' || window.chrome === null) window.chrome = {};
  Object.defineProperty(window.chrome, 'webview', { value: Object.freeze(webview), enumerable: true });
})();)JS";

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string RandomToken() {
    std::string token;
    for (int i = 0; i < 4; i++) {
        char part[9];
        g_snprintf(part, sizeof(part), "%08x", g_random_int());
        token += part;
    }
    return token;
}

LPWSTR CoTaskMemCopy(const std::u16string& text) {
    LPWSTR copy = (LPWSTR)CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR));
    if (copy == nullptr) return nullptr;
    std::char_traits<char16_t>::copy(copy, text.data(), text.size());
    copy[text.size()] = 0;
    return copy;
}

// Runs fn once from the loop, never inside the caller.
void RunSoon(std::function<void()> fn) {
    auto* task = new std::function<void()>(std::move(fn));
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            (*(std::function<void()>*)data)();
            return G_SOURCE_REMOVE;
        },
        task, [](gpointer data) { delete (std::function<void()>*)data; });
}

// False once the view's window is gone and the view with it.
bool IsViewOpen(CoreWebView* core) { return gtk_widget_get_parent(GTK_WIDGET(core->view)) != nullptr; }

// --- event arguments ---

class NavigationStartingArgs final : public ComObject<ICoreWebView2NavigationStartingEventArgs> {
public:
    explicit NavigationStartingArgs(std::u16string uri) : uri_(std::move(uri)) {}
    HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) override {
        if (uri == nullptr) return E_POINTER;
        *uri = CoTaskMemCopy(uri_);
        return *uri != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE put_Cancel(BOOL cancel) override {
        cancel_ = cancel != FALSE;
        return S_OK;
    }
    bool cancelled() const { return cancel_; }

private:
    std::u16string uri_;
    bool cancel_ = false;
};

class WebMessageArgs final : public ComObject<ICoreWebView2WebMessageReceivedEventArgs> {
public:
    explicit WebMessageArgs(std::u16string json) : json_(std::move(json)) {}
    HRESULT STDMETHODCALLTYPE get_WebMessageAsJson(LPWSTR* json) override {
        if (json == nullptr) return E_POINTER;
        *json = CoTaskMemCopy(json_);
        return *json != nullptr ? S_OK : E_OUTOFMEMORY;
    }

private:
    std::u16string json_;
};

// --- settings ---

class ViewSettings final : public ComObject<ICoreWebView2Settings> {
public:
    explicit ViewSettings(CoreWebView* core) : core_(core) {}
    HRESULT STDMETHODCALLTYPE put_AreDefaultContextMenusEnabled(BOOL enabled) override {
        core_->context_menus_enabled = enabled != FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_AreDevToolsEnabled(BOOL enabled) override {
        webkit_settings_set_enable_developer_extras(webkit_web_view_get_settings(core_->view),
                                                    enabled != FALSE);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_IsStatusBarEnabled(BOOL) override { return S_OK; }

private:
    ComPtr<CoreWebView> core_;
};

// --- navigation ---

// How a navigation address is reported: the layer's scheme on a mapped host
// reads as https, as the program's rules expect of a virtual host.
std::u16string ReportedAddress(CoreWebView* core, const std::string& uri) {
    std::string prefix = std::string(VELKIN_LAYER_SCHEME) + "://";
    if (uri.compare(0, prefix.size(), prefix) == 0) {
        size_t host_end = uri.find_first_of("/?#", prefix.size());
        std::string host = uri.substr(prefix.size(), host_end == std::string::npos
                                                         ? std::string::npos
                                                         : host_end - prefix.size());
        gchar* lower = g_ascii_strdown(host.c_str(), -1);
        bool mapped = core->folder_mappings.count(lower) != 0;
        g_free(lower);
        if (mapped) return Utf8ToUtf16(("https://" + uri.substr(prefix.size())).c_str());
    }
    return Utf8ToUtf16(uri.c_str());
}

// Asks every NavigationStarting handler; true when the navigation may go on.
bool ReportNavigation(CoreWebView* core, const std::u16string& address) {
    ComPtr<CoreWebView> keep(core);  // a handler may release the last outside reference
    auto* args = new NavigationStartingArgs(address);
    auto handlers = core->navigation_handlers;
    for (auto& handler : handlers) handler->Invoke(core, args);
    bool allowed = !args->cancelled();
    args->Release();
    return allowed;
}

// A new window's address: checked, and when allowed shown in this view,
// since the program has one window.
void OpenInThisView(CoreWebView* core, const std::string& uri) {
    if (!ReportNavigation(core, ReportedAddress(core, uri))) return;
    core->approved_navigation = uri;
    webkit_web_view_load_uri(core->view, uri.c_str());
}

gboolean OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                        WebKitPolicyDecisionType type, gpointer data) {
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
        type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
        return FALSE;
    }
    CoreWebView* core = (CoreWebView*)data;
    ComPtr<CoreWebView> keep(core);
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    std::string uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));

    if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && !core->approved_navigation.empty() &&
        uri == core->approved_navigation) {
        core->approved_navigation.clear();  // reported before it was started
        webkit_policy_decision_use(decision);
        return TRUE;
    }
    if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
        webkit_policy_decision_ignore(decision);
        OpenInThisView(core, uri);
        return TRUE;
    }
    if (ReportNavigation(core, ReportedAddress(core, uri))) {
        webkit_policy_decision_use(decision);
    } else {
        webkit_policy_decision_ignore(decision);
    }
    return TRUE;
}

// window.open: no second view is made; the address is checked like any
// navigation and, when allowed, shown in this view.
GtkWidget* OnCreateWindow(WebKitWebView*, WebKitNavigationAction* action, gpointer data) {
    CoreWebView* core = (CoreWebView*)data;
    ComPtr<CoreWebView> keep(core);
    const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    if (uri != nullptr && uri[0] != 0) OpenInThisView(core, uri);
    return nullptr;
}

// --- messages from the page ---

gboolean OnBridgeMessage(WebKitUserContentManager*, JSCValue* value, WebKitScriptMessageReply* reply,
                         gpointer data) {
    CoreWebView* core = (CoreWebView*)data;
    ComPtr<CoreWebView> keep(core);
    JSCValue* nothing = jsc_value_new_undefined(jsc_value_get_context(value));
    webkit_script_message_reply_return_value(reply, nothing);
    g_object_unref(nothing);

    // Only the layer's page, which alone knows the token, may post.
    const char* uri = webkit_web_view_get_uri(core->view);
    std::string page_prefix = PageOrigin() + "/";
    if (uri == nullptr || strncmp(uri, page_prefix.c_str(), page_prefix.size()) != 0) return TRUE;
    if (!jsc_value_is_string(value)) return TRUE;
    char* text = jsc_value_to_string(value);
    std::string message = text != nullptr ? text : "";
    g_free(text);
    if (message.size() <= core->bridge_token.size() ||
        message.compare(0, core->bridge_token.size(), core->bridge_token) != 0) {
        return TRUE;
    }
    char kind = message[core->bridge_token.size()];
    std::string body = message.substr(core->bridge_token.size() + 1);
    if (kind == 'l') {
        // The page listens now: hand over what waited for it, in order.
        core->page_listening = true;
        while (!core->waiting_messages.empty() && core->page_listening) {
            std::string script = core->waiting_messages.front();
            core->waiting_messages.pop_front();
            webkit_web_view_evaluate_javascript(core->view, script.c_str(), (gssize)script.size(),
                                                nullptr, nullptr, nullptr, nullptr, nullptr);
        }
        return TRUE;
    }
    if (kind != 'm') return TRUE;
    auto* args = new WebMessageArgs(Utf8ToUtf16(body.data(), body.size()));
    auto handlers = core->message_handlers;
    for (auto& handler : handlers) handler->Invoke(core, args);
    args->Release();
    return TRUE;
}

// A new document replaces the old one (a jump within the page does not):
// messages wait until the new one listens.
void OnLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
    if (event == WEBKIT_LOAD_COMMITTED) ((CoreWebView*)data)->page_listening = false;
}

gboolean OnContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*,
                       gpointer data) {
    return ((CoreWebView*)data)->context_menus_enabled ? FALSE : TRUE;  // TRUE suppresses it
}

// --- controller ---

class ViewController final : public ComObject<ICoreWebView2Controller> {
public:
    explicit ViewController(CoreWebView* core) : core_(core) {}
    HRESULT STDMETHODCALLTYPE get_CoreWebView2(ICoreWebView2** view) override {
        if (view == nullptr) return E_POINTER;
        *view = core_.Get();
        core_->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Bounds(RECT bounds) override {
        GtkWidget* widget = GTK_WIDGET(core_->view);
        GtkWidget* parent = gtk_widget_get_parent(widget);
        if (parent == nullptr) return kAborted;  // the window is gone
        GtkAllocation area = {bounds.left, bounds.top, std::max(0, (int)(bounds.right - bounds.left)),
                              std::max(0, (int)(bounds.bottom - bounds.top))};
        // The request keeps these bounds through the client area's later layouts...
        gtk_layout_move(GTK_LAYOUT(parent), widget, area.x, area.y);
        gtk_widget_set_size_request(widget, area.width, area.height);
        // ...and the allocation applies them now, as Windows moves a child window at
        // once. WM_SIZE comes while GTK allocates the client area, and a request made
        // then would wait for some later, unrelated layout.
        GtkRequisition unused;
        gtk_widget_get_preferred_size(widget, &unused, nullptr);  // GTK allocates only a measured widget
        gtk_widget_size_allocate(widget, &area);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_IsVisible(BOOL visible) override {
        gtk_widget_set_visible(GTK_WIDGET(core_->view), visible != FALSE);
        return S_OK;
    }

private:
    ComPtr<CoreWebView> core_;
};

// --- environment ---

class Environment final : public ComObject<ICoreWebView2Environment> {
public:
    HRESULT STDMETHODCALLTYPE CreateCoreWebView2Controller(
        HWND parent, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) override;
};

// Makes the WebKit view with the bridge, in the window's client area, hidden.
CoreWebView* MakeCoreWebView(HWND parent) {
    WebKitWebContext* context = SharedWebContext();
    if (context == nullptr) return nullptr;
    WebKitUserContentManager* content = webkit_user_content_manager_new();
    WebKitSettings* settings = webkit_settings_new();
    // As a fresh WebView2 starts: developer tools on until the program says otherwise.
    webkit_settings_set_enable_developer_extras(settings, TRUE);
    // Every window.open must reach the navigation check rather than a popup blocker.
    webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
    WebKitWebView* view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context,
                                                       "user-content-manager", content,
                                                       "settings", settings, nullptr));
    g_object_unref(settings);
    g_object_unref(content);
    g_object_ref_sink(view);

    CoreWebView* core = new (std::nothrow) CoreWebView(view);
    g_object_unref(view);  // the CoreWebView holds its own reference
    if (core == nullptr) return nullptr;

    std::string script = kBridgeScript;
    script = ReplaceAll(script, "@ORIGIN@", PageOrigin());
    script = ReplaceAll(script, "@HANDLER@", kBridgeHandler);
    script = ReplaceAll(script, "@TOKEN@", core->bridge_token);
    script = ReplaceAll(script, "@DELIVER@", kDeliverName);
    WebKitUserScript* user_script = webkit_user_script_new(
        script.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START,
        nullptr, nullptr);
    webkit_user_content_manager_add_script(content, user_script);
    webkit_user_script_unref(user_script);
    std::string signal = std::string("script-message-with-reply-received::") + kBridgeHandler;
    g_signal_connect(content, signal.c_str(), G_CALLBACK(OnBridgeMessage), core);
    webkit_user_content_manager_register_script_message_handler_with_reply(content, kBridgeHandler,
                                                                           nullptr);
    g_signal_connect(view, "decide-policy", G_CALLBACK(OnDecidePolicy), core);
    g_signal_connect(view, "context-menu", G_CALLBACK(OnContextMenu), core);
    g_signal_connect(view, "create", G_CALLBACK(OnCreateWindow), core);
    g_signal_connect(view, "load-changed", G_CALLBACK(OnLoadChanged), core);

    RECT client;
    GetClientRect(parent, &client);
    gtk_layout_put(GTK_LAYOUT(parent->client), GTK_WIDGET(view), 0, 0);
    gtk_widget_set_size_request(GTK_WIDGET(view), client.right, client.bottom);
    gtk_widget_hide(GTK_WIDGET(view));
    return core;
}

HRESULT Environment::CreateCoreWebView2Controller(
    HWND parent, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) {
    if (handler == nullptr) return E_POINTER;
    if (!IsWindow(parent) || parent->message_only) return E_INVALIDARG;
    ComPtr<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler> keep_handler(handler);
    ComPtr<Environment> keep_environment(this);
    RunSoon([keep_handler, keep_environment, parent]() {
        if (!IsWindow(parent)) {
            keep_handler->Invoke(kAborted, nullptr);  // the window went before the view came
            return;
        }
        CoreWebView* core = MakeCoreWebView(parent);
        if (core == nullptr) {
            keep_handler->Invoke(E_FAIL, nullptr);
            return;
        }
        ViewController* controller = new (std::nothrow) ViewController(core);
        core->Release();
        if (controller == nullptr) {
            keep_handler->Invoke(E_OUTOFMEMORY, nullptr);
            return;
        }
        keep_handler->Invoke(S_OK, controller);
        controller->Release();
    });
    return S_OK;
}

}  // namespace

// --- CoreWebView ---

CoreWebView::CoreWebView(WebKitWebView* web_view) : view(web_view), bridge_token(RandomToken()) {
    g_object_ref(view);
    g_object_set_data(G_OBJECT(view), "velkin-core", this);
}

CoreWebView::~CoreWebView() {
    WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(view);
    g_signal_handlers_disconnect_by_data(content, this);
    g_signal_handlers_disconnect_by_data(view, this);
    g_object_set_data(G_OBJECT(view), "velkin-core", nullptr);
    // Releasing the last reference closes the view, as the program expects.
    if (gtk_widget_get_parent(GTK_WIDGET(view)) != nullptr) gtk_widget_destroy(GTK_WIDGET(view));
    g_object_unref(view);
}

HRESULT CoreWebView::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (riid != IID_IUnknown && riid != IID_ICoreWebView2 && riid != IID_ICoreWebView2_3) {
        return E_NOINTERFACE;
    }
    *object = static_cast<ICoreWebView2_3*>(this);
    AddRef();
    return S_OK;
}

HRESULT CoreWebView::get_Settings(ICoreWebView2Settings** settings) {
    if (settings == nullptr) return E_POINTER;
    *settings = new (std::nothrow) ViewSettings(this);
    return *settings != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT CoreWebView::add_WebMessageReceived(ICoreWebView2WebMessageReceivedEventHandler* handler,
                                            EventRegistrationToken* token) {
    if (handler == nullptr) return E_INVALIDARG;
    message_handlers.emplace_back(handler);
    if (token != nullptr) token->value = next_token;
    next_token++;
    return S_OK;
}

HRESULT CoreWebView::add_NavigationStarting(ICoreWebView2NavigationStartingEventHandler* handler,
                                            EventRegistrationToken* token) {
    if (handler == nullptr) return E_INVALIDARG;
    navigation_handlers.emplace_back(handler);
    if (token != nullptr) token->value = next_token;
    next_token++;
    return S_OK;
}

HRESULT CoreWebView::NavigateToString(LPCWSTR html) {
    if (html == nullptr) return E_INVALIDARG;
    page_html = Utf16ToUtf8(html);
    page_listening = false;  // messages from now on wait for the new page
    ComPtr<CoreWebView> keep(this);
    RunSoon([keep]() {
        CoreWebView* core = keep.Get();
        if (!IsViewOpen(core)) return;  // its window went meanwhile
        std::string address = PageAddress();
        // Reported as the layer's own address: not http or https.
        if (!ReportNavigation(core, Utf8ToUtf16(address.c_str()))) return;
        core->approved_navigation = address;
        webkit_web_view_load_uri(core->view, address.c_str());
    });
    return S_OK;
}

HRESULT CoreWebView::PostWebMessageAsJson(LPCWSTR json) {
    if (json == nullptr) return E_INVALIDARG;
    // The text travels as a string literal the page parses: data, never code.
    std::string script = std::string("window.chrome.webview.") + kDeliverName + "(" +
                         JsStringLiteral(json) + ");";
    if (!page_listening) {
        waiting_messages.push_back(script);
        return S_OK;
    }
    if (!IsViewOpen(this)) return kAborted;
    webkit_web_view_evaluate_javascript(view, script.c_str(), (gssize)script.size(), nullptr,
                                        nullptr, nullptr, nullptr, nullptr);
    return S_OK;
}

HRESULT CoreWebView::SetVirtualHostNameToFolderMapping(LPCWSTR host_name, LPCWSTR folder_path,
                                                       COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND) {
    if (host_name == nullptr || folder_path == nullptr || host_name[0] == 0) return E_INVALIDARG;
    std::string host = Utf16ToUtf8(host_name);
    if (host.find_first_of("/\\?#@: ") != std::string::npos) return E_INVALIDARG;
    char* real = realpath(Utf16ToUtf8(folder_path).c_str(), nullptr);
    if (real == nullptr) return E_INVALIDARG;
    gchar* lower = g_ascii_strdown(host.c_str(), -1);
    folder_mappings[lower] = real;
    g_free(lower);
    free(real);
    return S_OK;
}

// --- shared helpers ---

CoreWebView* FindCoreWebView(WebKitWebView* view) {
    if (view == nullptr) return nullptr;
    return (CoreWebView*)g_object_get_data(G_OBJECT(view), "velkin-core");
}

WebKitWebView* FindWebViewIn(HWND window) {
    if (!IsWindow(window) || window->message_only || window->client == nullptr) return nullptr;
    GList* children = gtk_container_get_children(GTK_CONTAINER(window->client));
    WebKitWebView* found = nullptr;
    for (GList* child = children; child != nullptr; child = child->next) {
        if (WEBKIT_IS_WEB_VIEW(child->data)) found = WEBKIT_WEB_VIEW(child->data);
    }
    g_list_free(children);
    return found;
}

std::string JsStringLiteral(const std::u16string& text) {
    std::string out = "\"";
    for (char16_t unit : text) {
        bool plain = unit >= 0x20 && unit < 0x7F && unit != '"' && unit != '\\' && unit != '<' &&
                     unit != '>' && unit != '&' && unit != '\'';
        if (plain) {
            out.push_back((char)unit);
        } else {
            char escaped[8];
            g_snprintf(escaped, sizeof(escaped), "\\u%04x", (unsigned)unit);
            out += escaped;
        }
    }
    out += "\"";
    return out;
}

void EvaluateFunctionBody(WebKitWebView* view, const std::string& body,
                          std::function<void(bool ok, const std::string& text)> done) {
    auto* callback = new std::function<void(bool, const std::string&)>(std::move(done));
    webkit_web_view_call_async_javascript_function(
        view, body.c_str(), (gssize)body.size(), nullptr, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* finish = (std::function<void(bool, const std::string&)>*)data;
            GError* error = nullptr;
            JSCValue* value = webkit_web_view_call_async_javascript_function_finish(
                WEBKIT_WEB_VIEW(source), result, &error);
            if (value == nullptr) {
                (*finish)(false, error != nullptr ? error->message : "script failed");
                g_clear_error(&error);
            } else {
                char* json = jsc_value_to_json(value, 0);
                (*finish)(true, json != nullptr ? json : "null");  // undefined reads as null
                g_free(json);
                g_object_unref(value);
            }
            delete finish;
        },
        callback);
}

HRESULT CreateCoreWebView2EnvironmentWithOptions(
    PCWSTR, PCWSTR, ICoreWebView2EnvironmentOptions*,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
    if (handler == nullptr) return E_POINTER;
    if (!EnsureGtk()) return kNoWebView;  // no display: no web view can be shown
    ComPtr<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler> keep(handler);
    RunSoon([keep]() {
        Environment* environment = new (std::nothrow) Environment();
        if (environment == nullptr) {
            keep->Invoke(E_OUTOFMEMORY, nullptr);
            return;
        }
        keep->Invoke(S_OK, environment);
        environment->Release();
    });
    return S_OK;
}
