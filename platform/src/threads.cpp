// CreateThread / WaitForSingleObject / CloseHandle on POSIX threads. A handle
// is one reference to a shared completion record; the thread holds another,
// so closing a handle never stops, joins or detaches the thread. Any thread.
#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_set>

#include "windows.h"

namespace {

struct ThreadCompletion {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
};

struct ThreadStart {
    LPTHREAD_START_ROUTINE routine = nullptr;
    LPVOID parameter = nullptr;
    std::shared_ptr<ThreadCompletion> completion;
};

// What a HANDLE points to.
struct ThreadHandle {
    std::shared_ptr<ThreadCompletion> completion;
};

// Live handles, so a closed or foreign handle fails instead of being used.
std::mutex g_handles_mutex;
std::unordered_set<ThreadHandle*>& LiveHandles() {
    static auto* handles = new std::unordered_set<ThreadHandle*>();  // outlives exit-time waits
    return *handles;
}

std::shared_ptr<ThreadCompletion> FindCompletion(HANDLE handle) {
    std::lock_guard<std::mutex> lock(g_handles_mutex);
    auto found = LiveHandles().find((ThreadHandle*)handle);
    if (found == LiveHandles().end()) return nullptr;
    return (*found)->completion;
}

std::atomic<DWORD> g_next_thread_id{1};

void* RunThread(void* raw) {
    ThreadStart* start = (ThreadStart*)raw;
    start->routine(start->parameter);
    std::shared_ptr<ThreadCompletion> completion = std::move(start->completion);
    delete start;
    {
        std::lock_guard<std::mutex> lock(completion->mutex);
        completion->done = true;
    }
    completion->finished.notify_all();
    return nullptr;
}

}  // namespace

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stack_size,
                           LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD flags,
                           LPDWORD thread_id) {
    if (routine == nullptr || (flags & ~STACK_SIZE_PARAM_IS_A_RESERVATION) != 0) return nullptr;  // no suspended start
    // Whole pages, as Windows rounds the size up: the library would round it down.
    const SIZE_T page = static_cast<SIZE_T>(sysconf(_SC_PAGESIZE));
    if (stack_size > SIZE_MAX - page) return nullptr;
    stack_size = (stack_size + page - 1) / page * page;
    std::shared_ptr<ThreadCompletion> completion;
    try {
        completion = std::make_shared<ThreadCompletion>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    ThreadStart* start = new (std::nothrow) ThreadStart{routine, parameter, completion};
    ThreadHandle* handle = new (std::nothrow) ThreadHandle{completion};
    if (start == nullptr || handle == nullptr) {
        delete start;
        delete handle;
        return nullptr;
    }

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // A stack below the system's least gets the default, larger than asked for.
    if (stack_size >= static_cast<SIZE_T>(PTHREAD_STACK_MIN)) pthread_attr_setstacksize(&attributes, stack_size);
    {
        // Registered before the thread runs, so a fast routine can't finish first unseen.
        std::lock_guard<std::mutex> lock(g_handles_mutex);
        LiveHandles().insert(handle);
    }
    pthread_t thread;
    int error = pthread_create(&thread, &attributes, RunThread, start);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        {
            std::lock_guard<std::mutex> lock(g_handles_mutex);
            LiveHandles().erase(handle);
        }
        delete start;
        delete handle;
        return nullptr;
    }
    if (thread_id != nullptr) *thread_id = g_next_thread_id.fetch_add(1);
    return handle;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    std::shared_ptr<ThreadCompletion> completion = FindCompletion(handle);
    if (completion == nullptr) return WAIT_FAILED;
    std::unique_lock<std::mutex> lock(completion->mutex);
    if (milliseconds == INFINITE) {
        completion->finished.wait(lock, [&] { return completion->done; });
        return WAIT_OBJECT_0;
    }
    bool done = completion->finished.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                              [&] { return completion->done; });
    return done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    ThreadHandle* record = (ThreadHandle*)handle;
    {
        std::lock_guard<std::mutex> lock(g_handles_mutex);
        if (LiveHandles().erase(record) == 0) return FALSE;
    }
    delete record;
    return TRUE;
}
