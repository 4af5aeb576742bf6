// The UI thread's message queue: PostMessageW from any thread, and
// GetMessageW / DispatchMessageW / PostQuitMessage on the UI thread, with the
// GLib main loop running inside GetMessageW while it waits.
#include <deque>
#include <mutex>
#include <new>
#include <unordered_set>

#include "window_record.h"

namespace {

struct MessageQueue {
    std::mutex mutex;
    std::deque<MSG> messages;
    std::unordered_set<HWND> live_windows;
    bool quit_posted = false;
    int quit_code = 0;
};

MessageQueue& Queue() {
    static auto* queue = new MessageQueue();  // workers may still post during exit
    return *queue;
}

bool Matches(const MSG& message, HWND filter, UINT filter_min, UINT filter_max) {
    if (filter != nullptr && message.hwnd != filter) return false;
    if (filter_min == 0 && filter_max == 0) return true;
    return message.message >= filter_min && message.message <= filter_max;
}

// The first queued message that matches, or end(). Caller holds the queue's lock.
std::deque<MSG>::iterator FindMessage(MessageQueue& queue, HWND filter, UINT filter_min, UINT filter_max) {
    auto it = queue.messages.begin();
    while (it != queue.messages.end() && !Matches(*it, filter, filter_min, filter_max)) ++it;
    return it;
}

MSG QuitMessage(const MessageQueue& queue) {
    MSG quit = MSG();
    quit.message = WM_QUIT;
    quit.wParam = (WPARAM)queue.quit_code;
    return quit;
}

// Takes the first matching message; the quit message only once nothing else
// matches, as on Windows. Caller holds the queue's lock.
bool TakeMessage(MessageQueue& queue, HWND filter, UINT filter_min, UINT filter_max, MSG* out) {
    auto it = FindMessage(queue, filter, filter_min, filter_max);
    if (it != queue.messages.end()) {
        *out = *it;
        queue.messages.erase(it);
        return true;
    }
    if (!queue.quit_posted) return false;
    queue.quit_posted = false;
    *out = QuitMessage(queue);
    return true;
}

DWORD MessageTime() { return (DWORD)(g_get_monotonic_time() / 1000); }

}  // namespace

void RegisterLiveWindow(HWND window) {
    MessageQueue& queue = Queue();
    std::lock_guard<std::mutex> lock(queue.mutex);
    queue.live_windows.insert(window);
}

void ForgetLiveWindow(HWND window) {
    MessageQueue& queue = Queue();
    std::lock_guard<std::mutex> lock(queue.mutex);
    queue.live_windows.erase(window);
    std::deque<MSG> kept;
    for (const MSG& message : queue.messages) {
        if (message.hwnd != window) kept.push_back(message);
    }
    queue.messages.swap(kept);
}

BOOL WINAPI IsWindow(HWND window) {
    MessageQueue& queue = Queue();
    std::lock_guard<std::mutex> lock(queue.mutex);
    return queue.live_windows.count(window) != 0 ? TRUE : FALSE;
}

BOOL WINAPI PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    MessageQueue& queue = Queue();
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        // A null window posts to the UI thread itself; a dead one is refused.
        if (window != nullptr && queue.live_windows.count(window) == 0) return FALSE;
        MSG posted;
        posted.hwnd = window;
        posted.message = message;
        posted.wParam = wparam;
        posted.lParam = lparam;
        posted.time = MessageTime();
        try {
            queue.messages.push_back(posted);
        } catch (const std::bad_alloc&) {
            return FALSE;  // out of memory: refused, never thrown into the poster
        }
    }
    g_main_context_wakeup(nullptr);  // never blocks; wakes GetMessageW's wait
    return TRUE;
}

void WINAPI PostQuitMessage(int exit_code) {
    MessageQueue& queue = Queue();
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.quit_posted = true;
        queue.quit_code = exit_code;
    }
    g_main_context_wakeup(nullptr);
}

BOOL WINAPI GetMessageW(LPMSG message, HWND filter, UINT filter_min, UINT filter_max) {
    if (message == nullptr) return -1;
    MessageQueue& queue = Queue();
    // Whatever GLib has ready (GTK events, the web view's replies) runs first,
    // so a flood of posted messages cannot freeze the window and the page.
    g_main_context_iteration(nullptr, FALSE);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(queue.mutex);
            if (filter != nullptr && queue.live_windows.count(filter) == 0) return -1;
            if (TakeMessage(queue, filter, filter_min, filter_max, message)) {
                return message->message == WM_QUIT ? FALSE : TRUE;
            }
        }
        // GTK events, web view callbacks and timers run here, one at a time.
        g_main_context_iteration(nullptr, TRUE);
    }
}

BOOL WINAPI PeekMessageW(LPMSG message, HWND filter, UINT filter_min, UINT filter_max, UINT remove) {
    if (message == nullptr) return FALSE;
    MessageQueue& queue = Queue();
    std::lock_guard<std::mutex> lock(queue.mutex);
    auto it = FindMessage(queue, filter, filter_min, filter_max);
    if (it != queue.messages.end()) {
        *message = *it;
        if (remove & PM_REMOVE) queue.messages.erase(it);
        return TRUE;
    }
    const MSG quit = QuitMessage(queue);
    if (!queue.quit_posted || !Matches(quit, nullptr, filter_min, filter_max)) return FALSE;
    *message = quit;
    if (remove & PM_REMOVE) queue.quit_posted = false;
    return TRUE;
}

BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }  // no keyboard messages here

LRESULT WINAPI DispatchMessageW(const MSG* message) {
    if (message == nullptr || message->hwnd == nullptr) return 0;
    if (!IsWindow(message->hwnd)) return 0;
    return SendToWindow(message->hwnd, message->message, message->wParam, message->lParam);
}

bool RunModalLoop(const bool* done) {
    MessageQueue& queue = Queue();
    while (!*done) {
        g_main_context_iteration(nullptr, FALSE);  // as in GetMessageW: no starving GTK
        if (*done) break;
        MSG message;
        bool taken = false;
        {
            std::lock_guard<std::mutex> lock(queue.mutex);
            taken = TakeMessage(queue, nullptr, 0, 0, &message);
            if (taken && message.message == WM_QUIT) {
                queue.quit_posted = true;  // left for the outer loop
                return false;
            }
        }
        if (taken) {
            DispatchMessageW(&message);
        } else {
            g_main_context_iteration(nullptr, TRUE);
        }
    }
    return true;
}
