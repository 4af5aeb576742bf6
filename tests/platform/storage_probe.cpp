// Helper program for the local storage test: opens the page with the web
// data folder argv[1], prints what the page found stored under a key, stores
// argv[2] there, and closes the window as the program does.
#include <stdio.h>

#include "web_view_harness.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    UseWebDataFolder(argv[1]);
    WebViewHarness harness;
    if (!OpenWebView(&harness)) return 3;
    const char* page = R"(<!doctype html><meta charset="utf-8"><script>
      const w = window.chrome.webview;
      w.addEventListener('message', e => {
        const found = localStorage.getItem('velkin-probe');
        localStorage.setItem('velkin-probe', e.data.store);
        w.postMessage({ found: found });
      });
    </script>)";
    harness.view->NavigateToString(Wide(page).c_str());
    std::string store = std::string("{\"store\":\"") + argv[2] + "\"}";
    harness.view->PostWebMessageAsJson(Wide(store).c_str());
    if (!PumpUntil([&] { return !harness.received.empty(); })) return 4;
    CloseWebView(&harness);
    std::string answer = harness.received[0];  // {"found":...}
    printf("found: %s\n", answer.substr(9, answer.size() - 10).c_str());
    return 0;
}
