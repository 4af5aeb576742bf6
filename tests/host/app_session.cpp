// Whole-app sessions: folder, process, hook, exit code.
#include "app_session.h"

#include "test_hook_client.h"
#include "test_limits.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

long long NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

void SleepMs(int ms) { usleep(static_cast<useconds_t>(ms) * 1000); }

bool CopyFile(const std::string& from, const std::string& to, mode_t mode) {
    std::ifstream in(from, std::ios::binary);
    if (!in) return false;
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    out.close();
    return out.good() && chmod(to.c_str(), mode) == 0;
}

std::string BaseName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    return file.good();
}

// The desktop's default handler for web addresses, for this folder only: a
// script that appends each address it is asked to open to opened-addresses.txt.
bool WriteRecordingBrowser(const std::string& folder) {
    std::string script = folder + "record-address.sh";
    std::string applications = folder + "xdg-data/applications";
    mkdir((folder + "xdg-data").c_str(), 0755);
    mkdir(applications.c_str(), 0755);
    mkdir((folder + "xdg-config").c_str(), 0755);
    return WriteText(script, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"" + folder + "opened-addresses.txt\"\n") &&
           chmod(script.c_str(), 0755) == 0 &&
           WriteText(applications + "/velkin-test-browser.desktop",
                     "[Desktop Entry]\nType=Application\nName=Recording browser\nExec=\"" + script + "\" %u\n"
                     "MimeType=x-scheme-handler/http;x-scheme-handler/https;\n") &&
           WriteText(folder + "xdg-config/mimeapps.list",
                     "[Default Applications]\nx-scheme-handler/http=velkin-test-browser.desktop\n"
                     "x-scheme-handler/https=velkin-test-browser.desktop\n");
}

}  // namespace

std::string ReadFileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

bool PrepareAppFolder(const std::string& name, const std::string& program, AppSession* session,
                      std::string* error) {
    std::string base = VELKIN_TEST_WORK_DIR;
    mkdir(base.c_str(), 0755);
    std::string pattern = base + "/" + name.substr(0, 16) + "-XXXXXX";
    std::vector<char> folder(pattern.begin(), pattern.end());
    folder.push_back('\0');
    if (mkdtemp(folder.data()) == nullptr) {
        *error = "cannot make a folder under " + base + ": " + std::strerror(errno);
        return false;
    }
    session->folder = std::string(folder.data()) + "/";
    session->program_name = BaseName(program);
    session->hook_socket = session->folder + "hook";
    if (session->hook_socket.size() >= 108) {  // the limit of a Unix socket's path
        *error = "the build folder is too deep for the hook's socket: " + session->hook_socket;
        return false;
    }
    const std::string files[] = {program, std::string(VELKIN_ASSET_DIR) + "/highlight.min.js",
                                 std::string(VELKIN_ASSET_DIR) + "/hljs-theme.min.css"};
    for (const auto& file : files) {
        if (!CopyFile(file, session->folder + BaseName(file), 0755)) {
            *error = "cannot copy " + file + " into " + session->folder;
            return false;
        }
    }
    return WriteRecordingBrowser(session->folder) || (*error = "cannot write the recording browser", false);
}

int WaitForExit(AppSession* session, int timeout_ms) {
    if (session->pid <= 0) return -1;
    long long deadline = NowMs() + timeout_ms;
    int status = 0;
    for (;;) {
        pid_t done = waitpid(session->pid, &status, WNOHANG);
        if (done == session->pid) break;
        if (NowMs() > deadline) {
            kill(session->pid, SIGKILL);
            waitpid(session->pid, &status, 0);
            session->pid = -1;
            return -1;
        }
        SleepMs(20);
    }
    session->pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

// Starts the program in its folder; its standard error goes to stderr.txt there.
bool Launch(AppSession* session, bool with_display, std::string* error) {
    std::string program = session->folder + session->program_name;
    pid_t pid = fork();
    if (pid < 0) {
        *error = std::string("fork failed: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        // The folder is the program's whole world: its hook, its web data,
        // and a default browser that only records what it is given.
        if (chdir(session->folder.c_str()) != 0) _exit(120);
        setenv("VELKIN_TEST_HOOK", session->hook_socket.c_str(), 1);
        setenv("VELKIN_TEST_WEB_DATA_DIR", (session->folder + "web-data").c_str(), 1);
        setenv("HOME", session->folder.c_str(), 1);
        setenv("XDG_DATA_HOME", (session->folder + "xdg-data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (session->folder + "xdg-config").c_str(), 1);
        setenv("XDG_CACHE_HOME", (session->folder + "xdg-cache").c_str(), 1);
        // Idle decoding threads sleep instead of spinning, so parallel tests share the CPU.
        setenv("OMP_WAIT_POLICY", "PASSIVE", 1);
        for (const auto& [name, value] : session->environment) {
            if (value.empty()) {
                unsetenv(name.c_str());
            } else {
                setenv(name.c_str(), value.c_str(), 1);
            }
        }
        if (!with_display) {
            unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
        }
        int log = open((session->folder + "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log >= 0) dup2(log, STDERR_FILENO);
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(121);
    }
    session->pid = pid;
    return true;
}

}  // namespace

bool StartAppWithoutDisplay(AppSession* session, std::string* error) { return Launch(session, false, error); }

bool StartApp(AppSession* session, int timeout_ms, std::string* error) {
    if (!Launch(session, true, error)) return false;
    session->client = new TestHookClient();
    if (!ConnectTestHook(session->hook_socket, timeout_ms, session->client)) {
        *error = "the program's test hook did not listen at " + session->hook_socket + " within " +
                 std::to_string(timeout_ms) + " ms";
        return false;
    }
    return true;
}

bool EvalInPage(AppSession* session, const std::string& script, std::string* result) {
    std::string response;
    if (session->client == nullptr ||
        !SendTestHookRequest(session->client, TestHookEvalRequest(script), &response, EventLimitMs())) {
        *result = "(no answer from the hook)";
        return false;
    }
    if (!TestHookValue(response, result)) {
        *result = response;
        return false;
    }
    return true;
}

bool WaitInPage(AppSession* session, const std::string& condition, int timeout_ms,
                const std::string& report, std::string* last) {
    long long deadline = NowMs() + timeout_ms;
    for (;;) {
        std::string value;
        if (EvalInPage(session, "return !!(" + condition + ");", &value) && value == "true") return true;
        if (NowMs() > deadline) {
            if (!EvalInPage(session, "return " + report + ";", last)) *last = "(report failed: " + *last + ")";
            return false;
        }
        SleepMs(50);
    }
}

bool SnapshotPage(AppSession* session, const std::string& path) {
    std::string response;
    return session->client != nullptr &&
           SendTestHookRequest(session->client, "{\"snapshot\":" + TestHookQuote(path) + "}", &response,
                               EventLimitMs()) &&
           response.find("\"ok\":true") != std::string::npos;
}

bool DescribeWindow(AppSession* session, std::string* description) {
    std::string response;
    return session->client != nullptr &&
           SendTestHookRequest(session->client, "{\"windows\":true}", &response, EventLimitMs()) &&
           TestHookValue(response, description);
}

bool ResizeAppWindow(AppSession* session, int width, int height) {
    std::string response;
    return session->client != nullptr &&
           SendTestHookRequest(session->client, TestHookResizeRequest(width, height), &response, EventLimitMs()) &&
           response == "{\"ok\":true}";
}

bool CloseApp(AppSession* session) {
    std::string response;
    return session->client != nullptr &&
           SendTestHookRequest(session->client, "{\"close\":true}", &response, EventLimitMs()) &&
           response.find("\"ok\":true") != std::string::npos;
}

void EndSession(AppSession* session) {
    if (session->client != nullptr) {
        CloseTestHook(session->client);
        delete session->client;
        session->client = nullptr;
    }
    if (session->pid > 0) {
        kill(session->pid, SIGKILL);
        int status = 0;
        waitpid(session->pid, &status, 0);
        session->pid = -1;
    }
}

void RemoveAppFolder(AppSession* session) {
    if (session->folder.empty()) return;
    auto remove_entry = [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); };
    nftw(session->folder.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    session->folder.clear();
}
