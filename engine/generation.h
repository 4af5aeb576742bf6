// One reply: the generation thread, its request record and its helpers.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "llama.h"
#include "windows.h"

struct Engine;

// One heap record per reply, made on the UI thread and owned by the generation
// thread from the moment it starts (the maker deletes it only when the start fails).
struct GenerationRequest {
    HWND hwnd = nullptr;                    // target of every message of the run
    Engine* engine = nullptr;               // not owned
    std::string prompt;                     // the whole ChatML prompt, UTF-8
    std::atomic<bool>* stop_flag = nullptr; // not owned; set by the UI thread, read between prompt chunks and once per token
    int32_t max_tokens = -1;                // below 1: the engine's max_tokens
};

// Thread routine: tokenises the prompt, keeps the cached common prefix, decodes
// the rest and samples until end of generation, the limit, the stop flag or a
// failed decode. Posts a WM_APP_TOKEN per piece, then exactly one WM_APP_GEN_DONE
// (normal end or stop) or WM_APP_ERROR (a sentence), then deletes the request.
// A reply cut off by a full cache ends in WM_APP_ERROR after its pieces; an
// exception ends the run as a failed prompt, with the cache as cached_tokens says.
// Returns 0 on every path.
DWORD WINAPI GenerationThread(LPVOID request);

// The stack to start a generation thread with for `prompt` (CreateThread's
// stack_size, as a reservation): the library splits some vocabularies' text into
// words by a recursion per character, so a long word needs a deep stack. UI
// thread, while no worker runs: reads the engine's context size and prompt
// bound. Accepts null. Can't fail.
SIZE_T GenerationStackBytes(const Engine* engine, const std::string& prompt);

// Starts GenerationThread on `request` with the stack its prompt needs, as a
// reservation. The thread's handle, or null when it cannot start: the request
// is then still the caller's. The thread that owns the engine. Can't throw.
HANDLE StartGenerationThread(GenerationRequest* request);

// Decodes `count` tokens into sequence 0 at positions first_position onwards, in
// chunks of at most 512, each chunk asking for its last token's output. Returns
// the number of tokens decoded: `count` when every chunk decoded (0 for count 0
// or less); fewer, a whole number of chunks, when `stop_flag` (may be null) was
// set before a chunk after the first; -1 at the first failing chunk, whose
// earlier chunks stay in the cache for the caller to remove.
int32_t DecodeTokens(Engine* engine, const llama_token* tokens, int32_t count, int32_t first_position,
                     const std::atomic<bool>* stop_flag);

// The text `token` stands for; control tokens render as their text only with
// `render_special`. Empty when it renders nothing. Can't fail.
std::string TokenPiece(const llama_vocab* vocab, llama_token token, bool render_special);

// Posts one piece of reply text as WM_APP_TOKEN, up to its first NUL byte; the
// piece is lost when its copy cannot be allocated. Any thread.
void PostPiece(HWND hwnd, const std::string& piece);

// Destroys the request and its prompt. Accepts null.
void DeleteGenerationRequest(GenerationRequest* request);
