// The page's origin through the real WebKitGTK view: files of the mapped
// folder load from the page (and nothing outside it does), only the
// program's own page can post to the program, and local storage persists
// between two runs.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "velkin_names.h"
#include "web_view_harness.h"

namespace {

class WebOrigin : public ::testing::Test {
protected:
    void SetUp() override {
        root = MakeTempFolder();
        app = root + "/app";
        other = root + "/other";
        mkdir(app.c_str(), 0700);
        mkdir(other.c_str(), 0700);
        mkdir((app + "/sub").c_str(), 0700);
        ASSERT_TRUE(OpenWebView(&harness));
        ASSERT_EQ(harness.view.As(&view3), S_OK);
        ASSERT_EQ(view3->SetVirtualHostNameToFolderMapping(VELKIN_VIRTUAL_HOST, Wide(app).c_str(),
                                                           COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND_ALLOW),
                  S_OK);
    }
    void TearDown() override {
        view3.Reset();
        CloseWebView(&harness);
        RemoveFolder(root);
    }

    bool Received(const std::string& message) const {
        for (const std::string& seen : harness.received) {
            if (seen == message) return true;
        }
        return false;
    }

    std::string root, app, other;
    WebViewHarness harness;
    ComPtr<ICoreWebView2_3> view3;
};

TEST_F(WebOrigin, TheMappedFolderServesItsFilesAndNothingOutsideIt) {
    WriteFile(app + "/asset.js", "window.assetValue = 'caf\xC3\xA9 loaded';");
    WriteFile(app + "/sub/deep.txt", "deep file");
    WriteFile(app + "/with space.txt", "spaced");
    WriteFile(root + "/secret.txt", "SECRET");
    ASSERT_EQ(symlink((root + "/secret.txt").c_str(), (app + "/escape.txt").c_str()), 0);
    ASSERT_EQ(symlink(root.c_str(), (app + "/linkdir").c_str()), 0);

    std::string base = VELKIN_ASSET_BASE;
    std::string page = "<!doctype html><meta charset=\"utf-8\"><script src=\"" + base +
                       "asset.js\"></script><script>\n"
                       "const paths = ['sub/deep.txt', 'with%20space.txt', '../secret.txt',\n"
                       "  '%2e%2e/secret.txt', '..%2fsecret.txt', 'sub/..%2f..%2fsecret.txt',\n"
                       "  'escape.txt', 'linkdir/secret.txt', 'missing.txt', 'sub', '%00.txt'];\n"
                       "Promise.all(paths.map(p => fetch('" + base + "' + p)\n"
                       "    .then(r => r.ok ? r.text() : 'status ' + r.status).catch(() => 'failed')))\n"
                       "  .then(results => window.chrome.webview.postMessage(\n"
                       "    { asset: window.assetValue, results: results }));\n"
                       "</script>";
    harness.view->NavigateToString(Wide(page).c_str());
    ASSERT_TRUE(PumpUntil([&] { return !harness.received.empty(); }));
    EXPECT_EQ(harness.received[0],
              "{\"asset\":\"caf\xC3\xA9 loaded\",\"results\":[\"deep file\",\"spaced\","
              "\"failed\",\"failed\",\"failed\",\"failed\",\"failed\",\"failed\",\"failed\","
              "\"failed\",\"failed\"]}");
}

TEST_F(WebOrigin, ThePageHasAFixedSecureOriginOutsideTheWeb) {
    const char* page = R"(<!doctype html><meta charset="utf-8"><script>
      window.chrome.webview.postMessage({ secure: window.isSecureContext, href: location.href,
                                          storage: typeof localStorage.setItem });
    </script>)";
    harness.view->NavigateToString(Wide(page).c_str());
    ASSERT_TRUE(PumpUntil([&] { return !harness.received.empty(); }));
    EXPECT_EQ(harness.received[0], std::string("{\"secure\":true,\"href\":\"") + VELKIN_ASSET_BASE +
                                       "\",\"storage\":\"function\"}");
}

TEST_F(WebOrigin, OnlyTheProgramsOwnPageCanPost) {
    const std::string foreign_host = "other.velkin.test";
    ASSERT_EQ(view3->SetVirtualHostNameToFolderMapping(Wide(foreign_host).c_str(), Wide(other).c_str(),
                                                       COREWEBVIEW2_HOST_RESOURCE_ACCESS_KIND_ALLOW),
              S_OK);
    const std::string attempts =
        "<script>\n"
        "try { window.webkit.messageHandlers.velkinBridge.postMessage('m{\"evil\":1}'); } catch (e) {}\n"
        "try { window.chrome.webview.postMessage({ evil: 2 }); } catch (e) {}\n"
        "try { parent.chrome.webview.postMessage({ evil: 3 }); } catch (e) {}\n"
        "</script>";
    // A foreign document inside the page, then a foreign top-level document.
    WriteFile(other + "/frame.html", attempts);
    WriteFile(other + "/top.html", attempts + "<script>setTimeout(() => location.href = '" +
                                       VELKIN_ASSET_BASE + "back.html', 300);</script>");
    WriteFile(app + "/back.html", "<script>window.chrome.webview.postMessage('back home')</script>");

    std::string page = "<!doctype html><meta charset=\"utf-8\">"
                       "<iframe src=\"velkin://" + foreign_host + "/frame.html\"></iframe><script>\n"
                       "document.querySelector('iframe').onload = () => setTimeout(() => {\n"
                       "  window.chrome.webview.postMessage('frame done');\n"
                       "  location.href = 'velkin://" + foreign_host + "/top.html';\n"
                       "}, 300);\n"
                       "</script>";
    harness.view->NavigateToString(Wide(page).c_str());
    ASSERT_TRUE(PumpUntil([&] { return Received("\"back home\""); }));
    PumpFor(kQuietWindowMs);
    EXPECT_EQ(harness.received, (std::vector<std::string>{"\"frame done\"", "\"back home\""}));
    EXPECT_TRUE(Received("\"frame done\"")) << "the page itself still posts";
}

// Runs the storage probe with a data folder; returns what it printed.
std::string RunProbe(const std::string& folder, const std::string& value) {
    std::string command = std::string(VELKIN_STORAGE_PROBE) + " '" + folder + "' '" + value + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "probe did not start";
    std::string output;
    char buffer[256];
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr) output += buffer;
    int status = pclose(pipe);
    if (status != 0) output += " (exit " + std::to_string(status) + ")";
    return output;
}

TEST(WebStorage, LocalStoragePersistsBetweenRuns) {
    std::string folder = MakeTempFolder();
    EXPECT_EQ(RunProbe(folder, "first run"), "found: null\n");
    EXPECT_EQ(RunProbe(folder, "second run"), "found: \"first run\"\n");
    std::string elsewhere = MakeTempFolder();
    EXPECT_EQ(RunProbe(elsewhere, "x"), "found: null\n") << "the data folder is what keeps it";
    RemoveFolder(folder);
    RemoveFolder(elsewhere);
}

}  // namespace
