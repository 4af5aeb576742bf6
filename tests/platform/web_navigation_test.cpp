// Navigation checks through the real WebKitGTK view: every top-level
// navigation (the program's own page, link clicks, window.open, location
// changes) reaches NavigationStarting first, and a cancelled one never loads.
#include <gtest/gtest.h>

#include "velkin_names.h"
#include "web_view_harness.h"

namespace {

const char kHost[] = "app.velkin.local";

// The page obeys commands from the test and answers pings with its address.
const char kCommandScript[] = R"(<script>
  const w = window.chrome.webview;
  w.addEventListener('message', e => {
    const c = e.data;
    if (c.do === 'click') document.getElementById(c.id).click();
    if (c.do === 'open') window.open(c.url);
    if (c.do === 'go') location.href = c.url;
    if (c.do === 'ping') w.postMessage({ pong: c.n, at: location.href });
  });
  w.postMessage({ ready: location.href });
</script>)";

class WebNavigation : public ::testing::Test {
protected:
    void SetUp() override {
        folder = MakeTempFolder();
        std::string page = std::string("<!doctype html><meta charset=\"utf-8\">") +
                           "<a id=\"external\" href=\"https://example.com/x\">x</a>" +
                           "<a id=\"blank\" target=\"_blank\" href=\"https://example.com/new\">b</a>" +
                           "<a id=\"mapped\" href=\"" + VELKIN_ASSET_BASE + "second.html\">m</a>" +
                           kCommandScript;
        WriteFile(folder + "/second.html", page);
        WriteFile(folder + "/blocked.html",
                  "<script>window.chrome.webview.postMessage('blocked page ran')</script>");
        ASSERT_TRUE(OpenWebView(&harness));
        ComPtr<ICoreWebView2_3> view3;
        ASSERT_EQ(harness.view.As(&view3), S_OK);
        ASSERT_EQ(view3->SetVirtualHostNameToFolderMapping(VELKIN_VIRTUAL_HOST, Wide(folder).c_str(),
                                                           COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND_ALLOW),
                  S_OK);
        // The program's rule, roughly: the web stays outside, the virtual host inside.
        harness.allow = [](const std::string& address) {
            if (address.rfind("http://", 0) == 0) return false;
            if (address.rfind("https://", 0) == 0) {
                return address.rfind(std::string("https://") + kHost, 0) == 0 &&
                       address.find("blocked") == std::string::npos;
            }
            return true;
        };
        ASSERT_TRUE(LoadPage(&harness, page, std::string("{\"ready\":\"") + VELKIN_ASSET_BASE + "\"}"));
    }
    void TearDown() override {
        CloseWebView(&harness);
        RemoveFolder(folder);
    }

    // Sends a command, then checks the page still answers from where it was.
    std::string AddressAfter(const std::string& command) {
        harness.view->PostWebMessageAsJson(Wide(command).c_str());
        PumpFor(kQuietWindowMs);  // time for a navigation that should not happen
        std::string ping = "{\"do\":\"ping\",\"n\":" + std::to_string(++pings) + "}";
        harness.view->PostWebMessageAsJson(Wide(ping).c_str());
        std::string prefix = "{\"pong\":" + std::to_string(pings) + ",\"at\":\"";
        std::string answer;
        PumpUntil([&] {
            for (const std::string& message : harness.received) {
                if (message.rfind(prefix, 0) == 0) answer = message.substr(prefix.size());
            }
            return !answer.empty();
        });
        return answer.empty() ? "no answer" : answer.substr(0, answer.size() - 2);
    }

    bool Reported(const std::string& address) const {
        for (const std::string& seen : harness.navigations) {
            if (seen == address) return true;
        }
        return false;
    }

    std::string folder;
    WebViewHarness harness;
    int pings = 0;
};

TEST_F(WebNavigation, CompletionsAndEventsComeFromTheLoopNeverInsideTheCall) {
    EXPECT_FALSE(harness.completed_inside_call);
    size_t reported = harness.navigations.size();
    harness.view->NavigateToString(u"<p>again</p>");
    EXPECT_EQ(harness.navigations.size(), reported) << "NavigationStarting inside NavigateToString";
    EXPECT_TRUE(PumpUntil([&] { return harness.navigations.size() == reported + 1; }));
}

TEST_F(WebNavigation, ThePagesOwnNavigationIsReportedWithANonWebAddress) {
    ASSERT_FALSE(harness.navigations.empty());
    const std::string& first = harness.navigations.front();
    EXPECT_EQ(first.rfind("http://", 0), std::string::npos) << first;
    EXPECT_EQ(first.rfind("https://", 0), std::string::npos) << first;
    EXPECT_EQ(harness.navigations.size(), 1u) << "reported exactly once";
}

TEST_F(WebNavigation, CancelledNavigationsNeverLoad) {
    const std::string page = VELKIN_ASSET_BASE;
    struct Case {
        const char* name;
        std::string command;
        std::string reported;
    } cases[] = {
        {"link click", R"({"do":"click","id":"external"})", "https://example.com/x"},
        {"link to a new window", R"({"do":"click","id":"blank"})", "https://example.com/new"},
        {"window.open", R"({"do":"open","url":"https://example.org/y"})", "https://example.org/y"},
        {"location change", R"({"do":"go","url":"http://example.net/"})", "http://example.net/"},
        // Reported as WebKit normalises it, so a capital scheme cannot slip past the check.
        {"capital scheme", R"({"do":"go","url":"HTTPS://Example.net/Caps"})", "https://example.net/Caps"},
        {"virtual host, refused", R"({"do":"go","url":")" + std::string(VELKIN_ASSET_BASE) +
                                      R"(blocked.html"})",
         std::string("https://") + kHost + "/blocked.html"},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(AddressAfter(test.command), page) << test.name;
        EXPECT_TRUE(Reported(test.reported)) << test.name;
    }
    for (const std::string& message : harness.received) EXPECT_NE(message, "\"blocked page ran\"");
}

TEST_F(WebNavigation, AJumpWithinThePageKeepsMessagesFlowing) {
    std::string page = VELKIN_ASSET_BASE;
    EXPECT_EQ(AddressAfter(R"({"do":"go","url":"#section"})"), page + "#section");
    EXPECT_EQ(AddressAfter(R"({"do":"go","url":"#other"})"), page + "#other");
}

TEST_F(WebNavigation, AllowedNavigationsLoadInTheViewAndReadAsHttpsOnTheVirtualHost) {
    const std::string second = std::string(VELKIN_ASSET_BASE) + "second.html";
    harness.view->PostWebMessageAsJson(Wide(R"({"do":"click","id":"mapped"})").c_str());
    ASSERT_TRUE(PumpUntil([&] {
        for (const std::string& message : harness.received) {
            if (message == "{\"ready\":\"" + second + "\"}") return true;
        }
        return false;
    }));
    EXPECT_TRUE(Reported(std::string("https://") + kHost + "/second.html"));

    // window.open of an allowed address shows it in this one view.
    harness.received.clear();
    std::string open = std::string(R"({"do":"open","url":")") + VELKIN_ASSET_BASE + "second.html?again\"}";
    harness.view->PostWebMessageAsJson(Wide(open).c_str());
    ASSERT_TRUE(PumpUntil([&] {
        for (const std::string& message : harness.received) {
            if (message == "{\"ready\":\"" + second + "?again\"}") return true;
        }
        return false;
    }));
    EXPECT_TRUE(Reported(std::string("https://") + kHost + "/second.html?again"));
}

}  // namespace
