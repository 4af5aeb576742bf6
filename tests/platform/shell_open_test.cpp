// ShellExecuteW "open" hands the address to the desktop's default handler.
// The test installs its own handler for a scheme of its own in a private
// desktop configuration, so nothing on the machine is launched.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <fstream>
#include <sstream>

#include "web_view_harness.h"
#include "windows.h"

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ShellOpen, TheDefaultHandlerReceivesTheAddress) {
    std::string root = MakeTempFolder();
    std::string data = root + "/data", config = root + "/config", opened = root + "/opened.txt";
    mkdir(data.c_str(), 0700);
    mkdir((data + "/applications").c_str(), 0700);
    mkdir(config.c_str(), 0700);
    WriteFile(data + "/applications/velkin-test-opener.desktop",
              "[Desktop Entry]\nType=Application\nName=Velkin test opener\n"
              "Exec=sh -c 'printf %s \"$1\" > " + opened + "' opener %u\n"
              "MimeType=x-scheme-handler/x-velkin-test;\nNoDisplay=true\n");
    WriteFile(config + "/mimeapps.list",
              "[Default Applications]\nx-scheme-handler/x-velkin-test=velkin-test-opener.desktop\n");
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    setenv("XDG_DATA_DIRS", data.c_str(), 1);
    setenv("XDG_CONFIG_DIRS", config.c_str(), 1);

    const char16_t* address = u"x-velkin-test://example/path?q=caf\u00e9&x=1";
    INT_PTR result = (INT_PTR)ShellExecuteW(nullptr, u"open", address, nullptr, nullptr, SW_SHOWNORMAL);
    EXPECT_GT(result, 32);
    for (int waited = 0; waited < EventLimitMs() && ReadAll(opened).empty(); waited += 50) {
        struct timespec pause = {0, 50000000};
        nanosleep(&pause, nullptr);
    }
    EXPECT_EQ(ReadAll(opened), "x-velkin-test://example/path?q=caf\xC3\xA9&x=1");

    EXPECT_LE((INT_PTR)ShellExecuteW(nullptr, u"edit", address, nullptr, nullptr, SW_SHOWNORMAL), 32)
        << "only open is offered";
    EXPECT_LE((INT_PTR)ShellExecuteW(nullptr, u"open", u"x-velkin-unhandled://a", nullptr, nullptr, SW_SHOWNORMAL),
              32)
        << "no handler: a failure code, nothing opened";
    EXPECT_LE((INT_PTR)ShellExecuteW(nullptr, u"open", u"", nullptr, nullptr, SW_SHOWNORMAL), 32);
    RemoveFolder(root);
}

}  // namespace
