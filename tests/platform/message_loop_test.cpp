// The UI thread's message queue and message-only windows: creation messages,
// posting from many threads under load, and the ways the loop ends. Needs no
// display.
#include <gtest/gtest.h>

#include "test_limits.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <vector>

#include "windows.h"

namespace {

const UINT WM_TEST_A = WM_APP + 10;
const UINT WM_TEST_B = WM_APP + 11;

// What the test window procedure saw, in order.
struct Recording {
    std::vector<UINT> messages;
    std::vector<WPARAM> wparams;
    LPVOID create_param = nullptr;
    bool fail_nccreate = false;
    bool fail_create = false;
    bool destroy_on_close = true;
    int quit_code = 0;
};

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        auto* create = (CREATESTRUCTW*)lparam;
        auto* recording = (Recording*)create->lpCreateParams;
        SetWindowLongPtrW(window, GWLP_USERDATA, (LONG_PTR)recording);
        recording->messages.push_back(message);
        recording->create_param = create->lpCreateParams;
        if (recording->fail_nccreate) return FALSE;
        return DefWindowProcW(window, message, wparam, lparam);
    }
    auto* recording = (Recording*)GetWindowLongPtrW(window, GWLP_USERDATA);
    if (recording == nullptr) return DefWindowProcW(window, message, wparam, lparam);
    recording->messages.push_back(message);
    recording->wparams.push_back(wparam);
    switch (message) {
    case WM_CREATE:
        return recording->fail_create ? -1 : 0;
    case WM_CLOSE:
        if (recording->destroy_on_close) DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(recording->quit_code);
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

const WCHAR* TestClass() {
    static const WCHAR* name = [] {
        WNDCLASSEXW window_class = {};
        window_class.cbSize = sizeof(window_class);
        window_class.lpfnWndProc = RecordingProc;
        window_class.hInstance = GetModuleHandleW(nullptr);
        window_class.lpszClassName = u"VelkinQueueTest";
        RegisterClassExW(&window_class);
        return u"VelkinQueueTest";
    }();
    return name;
}

HWND MakeMessageWindow(Recording* recording) {
    return CreateWindowExW(0, TestClass(), u"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           GetModuleHandleW(nullptr), recording);
}

// Runs the loop until it ends; returns the quit code.
int RunLoop() {
    MSG message;
    BOOL result;
    while ((result = GetMessageW(&message, nullptr, 0, 0)) != 0) {
        if (result == -1) return -1000;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return (int)message.wParam;
}

TEST(WindowCreation, CreationMessagesArriveInsideCreateWindowExWInOrder) {
    Recording recording;
    HWND window = MakeMessageWindow(&recording);
    ASSERT_NE(window, nullptr);
    ASSERT_EQ(recording.messages.size(), 2u);
    EXPECT_EQ(recording.messages[0], (UINT)WM_NCCREATE);
    EXPECT_EQ(recording.messages[1], (UINT)WM_CREATE);
    EXPECT_EQ(recording.create_param, &recording);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(recording.messages.back(), (UINT)WM_DESTROY);
    EXPECT_EQ(RunLoop(), 0);  // the quit message posted by WM_DESTROY
}

TEST(WindowCreation, RefusedCreationGivesNoWindow) {
    Recording refuses_nccreate;
    refuses_nccreate.fail_nccreate = true;
    EXPECT_EQ(MakeMessageWindow(&refuses_nccreate), nullptr);
    EXPECT_EQ(refuses_nccreate.messages, std::vector<UINT>{WM_NCCREATE});

    Recording refuses_create;
    refuses_create.fail_create = true;
    EXPECT_EQ(MakeMessageWindow(&refuses_create), nullptr);
    EXPECT_EQ(refuses_create.messages, (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_DESTROY}));
    EXPECT_EQ(RunLoop(), 0);

    EXPECT_EQ(CreateWindowExW(0, u"NoSuchClass", u"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              nullptr, nullptr),
              nullptr);
}

TEST(WindowCreation, ClassNamesAreRegisteredOnce) {
    TestClass();
    WNDCLASSEXW again = {};
    again.cbSize = sizeof(again);
    again.lpfnWndProc = RecordingProc;
    again.lpszClassName = u"VelkinQueueTest";
    EXPECT_EQ(RegisterClassExW(&again), 0);
    WNDCLASSEXW no_procedure = {};
    no_procedure.cbSize = sizeof(no_procedure);
    no_procedure.lpszClassName = u"VelkinNoProcedure";
    EXPECT_EQ(RegisterClassExW(&no_procedure), 0);
}

// --- posting from many threads ---

const int kThreads = 4;
const int kPerThread = 2500;

struct Poster {
    HWND window = nullptr;
    int index = 0;
};

DWORD WINAPI PostMany(LPVOID parameter) {
    Poster* poster = (Poster*)parameter;
    for (int i = 0; i < kPerThread; i++) {
        if (!PostMessageW(poster->window, WM_APP + poster->index, (WPARAM)i, 0)) return 1;
    }
    return 0;
}

struct LoadCount {
    int next_expected[kThreads] = {};
    int received = 0;
    int out_of_order = 0;
    int unexpected = 0;
};

LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        SetWindowLongPtrW(window, GWLP_USERDATA, (LONG_PTR)((CREATESTRUCTW*)lparam)->lpCreateParams);
        return TRUE;
    }
    auto* count = (LoadCount*)GetWindowLongPtrW(window, GWLP_USERDATA);
    if (count == nullptr || message < WM_APP) return DefWindowProcW(window, message, wparam, lparam);
    int thread = (int)(message - WM_APP);
    if (thread >= kThreads) {
        count->unexpected++;
        return 0;
    }
    if ((int)wparam != count->next_expected[thread]) count->out_of_order++;
    count->next_expected[thread] = (int)wparam + 1;
    if (++count->received == kThreads * kPerThread) PostQuitMessage(5);
    return 0;
}

TEST(MessageQueue, TenThousandMessagesFromFourThreadsArriveCompleteAndInOrder) {
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = CountingProc;
    window_class.lpszClassName = u"VelkinLoadTest";
    ASSERT_NE(RegisterClassExW(&window_class), 0);
    LoadCount count;
    HWND window = CreateWindowExW(0, u"VelkinLoadTest", u"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, nullptr, &count);
    ASSERT_NE(window, nullptr);

    Poster posters[kThreads];
    HANDLE threads[kThreads];
    for (int i = 0; i < kThreads; i++) {
        posters[i] = Poster{window, i};
        threads[i] = CreateThread(nullptr, 0, PostMany, &posters[i], 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    // The UI thread waits inside GetMessageW while the workers post.
    EXPECT_EQ(RunLoop(), 5);
    for (HANDLE thread : threads) {
        EXPECT_EQ(WaitForSingleObject(thread, INFINITE), (DWORD)WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_EQ(count.received, kThreads * kPerThread);
    EXPECT_EQ(count.out_of_order, 0);
    EXPECT_EQ(count.unexpected, 0);
    for (int i = 0; i < kThreads; i++) EXPECT_EQ(count.next_expected[i], kPerThread) << i;
    DestroyWindow(window);
}

TEST(MessageQueue, PostedMessagesKeepPostOrderAcrossWindowsAndComeBeforeQuit) {
    Recording first, second;
    HWND a = MakeMessageWindow(&first);
    HWND b = MakeMessageWindow(&second);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    first.messages.clear();
    second.messages.clear();

    EXPECT_TRUE(PostMessageW(a, WM_TEST_A, 1, 0));
    EXPECT_TRUE(PostMessageW(b, WM_TEST_A, 2, 0));
    PostQuitMessage(9);
    EXPECT_TRUE(PostMessageW(a, WM_TEST_B, 3, 0));  // posted after the quit, still delivered

    std::vector<WPARAM> order;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) != 0) {
        order.push_back(message.wParam);
        DispatchMessageW(&message);
    }
    EXPECT_EQ(message.message, (UINT)WM_QUIT);
    EXPECT_EQ(message.wParam, (WPARAM)9);
    EXPECT_EQ(order, (std::vector<WPARAM>{1, 2, 3}));
    EXPECT_EQ(first.messages, (std::vector<UINT>{WM_TEST_A, WM_TEST_B}));
    EXPECT_EQ(second.messages, (std::vector<UINT>{WM_TEST_A}));

    // Only window a's destruction posts a quit here; b's is drained below.
    DestroyWindow(a);
    DestroyWindow(b);
    EXPECT_EQ(RunLoop(), 0);
}

TEST(MessageQueue, AWindowFilterTakesOnlyThatWindowsMessages) {
    Recording first, second;
    HWND a = MakeMessageWindow(&first);
    HWND b = MakeMessageWindow(&second);
    PostMessageW(a, WM_TEST_A, 1, 0);
    PostMessageW(b, WM_TEST_A, 2, 0);
    MSG message;
    ASSERT_EQ(GetMessageW(&message, b, 0, 0), TRUE);
    EXPECT_EQ(message.hwnd, b);
    EXPECT_EQ(message.wParam, (WPARAM)2);
    ASSERT_EQ(GetMessageW(&message, nullptr, WM_TEST_A, WM_TEST_A), TRUE);
    EXPECT_EQ(message.hwnd, a);
    DestroyWindow(b);
    EXPECT_EQ(GetMessageW(&message, b, 0, 0), -1) << "a dead filter window is an error";
    DestroyWindow(a);
    EXPECT_EQ(RunLoop(), 0);
}

TEST(MessageQueue, PeekTakesMatchingMessagesWithoutWaiting) {
    Recording first, second;
    HWND a = MakeMessageWindow(&first);
    HWND b = MakeMessageWindow(&second);
    PostMessageW(a, WM_TEST_A, 1, 0);
    PostMessageW(b, WM_TEST_A, 2, 0);
    PostMessageW(a, WM_TEST_A + 1, 3, 0);
    MSG message;
    ASSERT_EQ(PeekMessageW(&message, a, WM_TEST_A, WM_TEST_A + 1, PM_NOREMOVE), TRUE);
    EXPECT_EQ(message.wParam, (WPARAM)1) << "the oldest first";
    ASSERT_EQ(PeekMessageW(&message, a, WM_TEST_A, WM_TEST_A + 1, PM_REMOVE), TRUE);
    EXPECT_EQ(message.wParam, (WPARAM)1) << "PM_NOREMOVE left it queued";
    ASSERT_EQ(PeekMessageW(&message, a, WM_TEST_A, WM_TEST_A + 1, PM_REMOVE), TRUE);
    EXPECT_EQ(message.wParam, (WPARAM)3);
    EXPECT_EQ(PeekMessageW(&message, a, WM_TEST_A, WM_TEST_A + 1, PM_REMOVE), FALSE) << "b's is not a's";
    PostQuitMessage(7);
    EXPECT_EQ(PeekMessageW(&message, nullptr, WM_TEST_A + 1, WM_TEST_A + 1, PM_REMOVE), FALSE)
        << "neither b's message nor the quit message is in the range";
    ASSERT_EQ(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE), TRUE);
    EXPECT_EQ(message.wParam, (WPARAM)2) << "posted messages come before the quit message";
    ASSERT_EQ(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE), TRUE);
    EXPECT_EQ(message.message, (UINT)WM_QUIT);
    EXPECT_EQ(message.wParam, (WPARAM)7);
    EXPECT_EQ(PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE), FALSE);
    DestroyWindow(a);
    DestroyWindow(b);
    EXPECT_EQ(RunLoop(), 0);
}

// --- the ways the loop ends ---

TEST(LoopEnd, CloseDestroysTheWindowAndEndsTheLoopWithTheQuitCode) {
    Recording recording;
    recording.quit_code = 3;
    HWND window = MakeMessageWindow(&recording);
    ASSERT_NE(window, nullptr);
    PostMessageW(window, WM_TEST_A, 0, 0);
    PostMessageW(window, WM_CLOSE, 0, 0);
    PostMessageW(window, WM_TEST_B, 0, 0);  // queued for a window that will be gone
    EXPECT_EQ(RunLoop(), 3);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(recording.messages,
              (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_TEST_A, WM_CLOSE, WM_DESTROY}));
    EXPECT_FALSE(PostMessageW(window, WM_TEST_A, 0, 0)) << "a dead window takes no messages";
}

TEST(LoopEnd, DefaultCloseHandlingDestroysTheWindow) {
    Recording recording;
    recording.destroy_on_close = false;
    HWND window = MakeMessageWindow(&recording);
    // The recording procedure does not destroy; DefWindowProcW's default must.
    EXPECT_EQ(DefWindowProcW(window, WM_CLOSE, 0, 0), 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(recording.messages.back(), (UINT)WM_DESTROY);
    EXPECT_EQ(RunLoop(), 0);
}

TEST(LoopEnd, DestroyingTwiceIsRefused) {
    Recording recording;
    HWND window = MakeMessageWindow(&recording);
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_FALSE(DestroyWindow(window));
    EXPECT_EQ(RunLoop(), 0);
}

// --- threads ---

struct Gate {
    std::atomic<bool> open{false};
    std::atomic<bool> finished{false};
    std::atomic<int> seen_parameter{0};
};

DWORD WINAPI WaitAtGate(LPVOID parameter) {
    Gate* gate = (Gate*)parameter;
    gate->seen_parameter = 42;
    while (!gate->open) {
        struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    gate->finished = true;
    return 0;
}

TEST(Threads, WaitReturnsOnlyOnceTheRoutineHasReturned) {
    Gate gate;
    HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, 50), (DWORD)WAIT_TIMEOUT);
    EXPECT_FALSE(gate.finished);
    gate.open = true;
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), (DWORD)WAIT_OBJECT_0);
    EXPECT_TRUE(gate.finished);
    EXPECT_EQ(gate.seen_parameter, 42);
    EXPECT_EQ(WaitForSingleObject(thread, 0), (DWORD)WAIT_OBJECT_0) << "stays signalled";
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(Threads, ClosingAHandleLeavesTheThreadRunning) {
    static Gate gate;  // outlives the test: the thread may still be ending
    HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    gate.open = true;
    for (int waited = 0; waited < EventLimitMs() && !gate.finished; waited++) {
        struct timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    EXPECT_TRUE(gate.finished);
}

// The stack the routine runs on, from the thread's own attributes.
DWORD WINAPI ReadOwnStackSize(LPVOID parameter) {
    pthread_attr_t attributes;
    void* base = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstack(&attributes, &base, &size);
        pthread_attr_destroy(&attributes);
    }
    *static_cast<size_t*>(parameter) = size;
    return 0;
}

TEST(Threads, TheStackIsAtLeastTheSizeAskedFor) {
    const struct {
        const char* name;
        SIZE_T stack_size;
        DWORD flags;
    } cases[] = {
        // valid
        {"far above the default", 256u << 20, 0},
        {"a reservation", 256u << 20, STACK_SIZE_PARAM_IS_A_RESERVATION},
        {"not a whole number of pages", (64u << 20) + 12345, STACK_SIZE_PARAM_IS_A_RESERVATION},
        {"the default", 0, 0},
        // hostile: below the least stack the system gives a thread
        {"one byte", 1, 0},
    };
    for (const auto& c : cases) {
        size_t stack = 0;
        HANDLE thread = CreateThread(nullptr, c.stack_size, ReadOwnStackSize, &stack, c.flags, nullptr);
        ASSERT_NE(thread, nullptr) << c.name;
        EXPECT_EQ(WaitForSingleObject(thread, INFINITE), (DWORD)WAIT_OBJECT_0);
        EXPECT_TRUE(CloseHandle(thread));
        EXPECT_GE(stack, c.stack_size) << c.name;
        EXPECT_GE(stack, 1u << 20) << c.name << ": at least Windows' default";
    }
    size_t unused = 0;
    EXPECT_EQ(CreateThread(nullptr, 0, ReadOwnStackSize, &unused, 0x4, nullptr), nullptr) << "a suspended start";
}

TEST(Threads, ClosedOrForeignHandlesAreRefused) {
    Gate gate;
    gate.open = true;
    HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), (DWORD)WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_FALSE(CloseHandle(thread));
    int not_a_handle = 0;
    EXPECT_EQ(WaitForSingleObject(&not_a_handle, 0), WAIT_FAILED);
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
}

}  // namespace
