// Helpers shared by the engine tests.

#include "engine_test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "test_limits.h"

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velkin-engine-XXXXXX").string();
    if (!mkdtemp(pattern.data())) ADD_FAILURE() << "cannot make a temporary folder";
    path = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::basic_string<WCHAR> TempFolder::Wide() const {
    const std::string narrow = path.string() + "/";
    return std::basic_string<WCHAR>(narrow.begin(), narrow.end());  // temp paths are ASCII
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

MessageLog::MessageLog() {
    hwnd = MakeRecordingWindow(&received);
    if (!hwnd) ADD_FAILURE() << "cannot make a message-only window";
}

MessageLog::~MessageLog() {
    if (hwnd) DestroyWindow(hwnd);
}

void MessageLog::PumpOne() {
    MSG message;
    if (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
}

void MessageLog::Drain() {
    PostMessageW(hwnd, WM_APP_DRAIN_MARKER, 0, 0);
    PumpUntil([](const std::vector<Received>& r) { return !r.empty() && r.back().message == WM_APP_DRAIN_MARKER; });
    received.pop_back();
}

void RunOnThread(LPTHREAD_START_ROUTINE routine, void* parameter, SIZE_T stack_bytes) {
    HANDLE thread = CreateThread(nullptr, stack_bytes, routine, parameter, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    ASSERT_NE(thread, nullptr);
    if (WaitForSingleObject(thread, static_cast<DWORD>(EventLimitMs())) != WAIT_OBJECT_0) {
        // The worker cannot be stopped and still uses what the test owns: the case's process ends here.
        ADD_FAILURE() << "the worker did not end within " << EventLimitMs() << " ms";
        fflush(stdout);
        _exit(1);
    }
    CloseHandle(thread);
}

void PlaceModel(const TempFolder& folder, const TinyModel& model) {
    std::string error;
    ASSERT_TRUE(WriteTinyModel(model, folder.File("model.gguf"), &error)) << error;
}

EnginePtr LoadEngine(const TinyModel& model) {
    TempFolder folder;
    PlaceModel(folder, model);
    EnginePtr engine(new Engine);
    MessageLog log;
    LoadModelFromFolder(new LoadRequest{log.hwnd, engine.get()}, folder.Wide());
    log.Drain();
    EXPECT_EQ(CountOf(log.received, WM_APP_LOAD_DONE), 1) << (log.received.empty() ? "" : log.received.back().text);
    return engine;
}

std::vector<llama_token> Tokens(const Engine& engine, const std::string& prompt) {
    std::vector<llama_token> tokens(3 * prompt.size() + 16);  // a space is three byte tokens in the tiny models
    const int32_t n = llama_tokenize(engine.vocab, prompt.data(), static_cast<int32_t>(prompt.size()),
                                     tokens.data(), static_cast<int32_t>(tokens.size()), true, true);
    EXPECT_GE(n, 0);
    tokens.resize(n > 0 ? n : 0);
    return tokens;
}

int32_t CountTokens(const Engine& engine, const std::string& prompt) {
    return static_cast<int32_t>(Tokens(engine, prompt).size());
}

std::vector<Received> Reply(Engine* engine, const std::string& prompt, int32_t max_tokens,
                            std::atomic<bool>* stop_flag) {
    MessageLog log;
    auto* request = new GenerationRequest;
    request->hwnd = log.hwnd;
    request->engine = engine;
    request->prompt = prompt;
    request->stop_flag = stop_flag;
    request->max_tokens = max_tokens;
    RunOnThread(GenerationThread, request, GenerationStackBytes(engine, prompt));
    log.Drain();
    return log.received;
}

std::string GreetingPrompt() {
    ChatHistory history;
    AddUserMessage(history, "Hello!");
    return BuildPrompt(history);
}
