// The generation thread: one reply from prompt to final message. Runs on its own
// thread and is the engine's only user while it runs.

#include "engine.h"

#include <algorithm>
#include <climits>

namespace {

constexpr char kNotInitializedText[] = "Engine is not initialized.";
constexpr char kTooLongText[] =
    "The conversation is too long for the context window. Please start a new chat.";
constexpr char kContextFullText[] = "Context window full. Please start a new chat.";
constexpr char kPromptFailedText[] = "Failed to process the prompt. The input may be too long.";
constexpr int32_t kChunkTokens = 512;
constexpr size_t kPieceBufferBytes = 256;

// The thread's stack: the default it has always run with here, and more for
// each byte that llama_tokenize may get. For vocabularies whose pre-tokeniser splits words with
// std::regex (deepseek-coder, deepseek-llm, falcon and two dozen more), the
// matcher recurses once per character of a word, 320 bytes of stack each. That
// was measured by filling a thread's stack with a pattern, tokenising prompts
// holding 1 KiB and 4 KiB runs of letters, spaces, digits, punctuation, CJK and
// accented letters, and reading how far the pattern was overwritten: with every
// vocabulary in llama.cpp's models/ and every pre-tokeniser name the library
// knows (over gpt-2's vocabulary), a run cost 320 bytes per character, or none;
// 416 with the library built without optimisation. A character is one byte at
// the least, so 512 bytes per byte leaves room for other compilers and flags.
constexpr SIZE_T kBaseStackBytes = 8 << 20;
constexpr SIZE_T kStackBytesPerPromptByte = 512;

// Cuts sequence 0 of the cache, n_past and cached_tokens back to `keep` tokens.
void TrimCache(Engine* engine, int32_t keep) {
    llama_memory_t memory = llama_get_memory(engine->ctx);
    if (!llama_memory_seq_rm(memory, 0, keep, -1)) {
        // A cache that cannot drop a tail is emptied instead, so that it never
        // holds tokens that cached_tokens does not list.
        llama_memory_clear(memory, true);
        keep = 0;
    }
    engine->n_past = keep;
    engine->cached_tokens.resize(keep);
}

// Runs the reply; null on a normal end, else the sentence to post as the error.
const char* Generate(const GenerationRequest& request) {
    Engine* engine = request.engine;
    if (!engine || !engine->ready) return kNotInitializedText;
    const int32_t limit = request.max_tokens >= 1 ? request.max_tokens : engine->max_tokens;

    // Tokenise: the prompt's markers become the vocabulary's special tokens. A
    // prompt that cannot fit is refused first, as tokenising a huge one takes minutes.
    const int32_t n_ctx = static_cast<int32_t>(llama_n_ctx(engine->ctx));
    if (request.prompt.size() > static_cast<size_t>(INT32_MAX)) return kTooLongText;
    if (PromptCannotFit(engine->prompt_bound, request.prompt, n_ctx)) return kTooLongText;
    std::vector<llama_token> tokens(n_ctx, 0);
    const int32_t count = llama_tokenize(engine->vocab, request.prompt.data(),
                                         static_cast<int32_t>(request.prompt.size()), tokens.data(),
                                         n_ctx, true, true);
    if (count < 0) return kTooLongText;
    if (count >= n_ctx) return kContextFullText;  // no room left for a single reply token
    if (count == 0) return nullptr;               // nothing to continue from
    tokens.resize(count);

    // Reuse the cached common prefix. The first reply token is sampled from the
    // output of the prompt's last token, so that one is always decoded afresh: the
    // context's latest output may belong to a token past the prompt.
    int32_t common = 0;
    const int32_t n_cached = static_cast<int32_t>(engine->cached_tokens.size());
    while (common < n_cached && common < count && tokens[common] == engine->cached_tokens[common]) ++common;
    common = std::min(common, count - 1);
    if (common < n_cached) TrimCache(engine, common);

    // Decode the rest of the prompt; a stop between its chunks ends the reply.
    const int32_t first_new = engine->n_past;
    const int32_t rest = count - first_new;
    const int32_t decoded = DecodeTokens(engine, tokens.data() + first_new, rest, first_new, request.stop_flag);
    if (decoded < 0) {
        TrimCache(engine, first_new);  // drops the chunks that did decode
        return kPromptFailedText;
    }
    tokens.resize(first_new + decoded);
    engine->n_past = first_new + decoded;
    engine->cached_tokens = std::move(tokens);
    if (decoded < rest) return nullptr;  // stopped: the decoded chunks stay for the next turn

    // Sample token by token; each reply starts with an empty penalty history.
    const int32_t prompt_end = engine->n_past;
    BuildSampler(engine);
    for (int32_t produced = 0; produced < limit; ++produced) {
        if (request.stop_flag && request.stop_flag->load()) {
            TrimCache(engine, prompt_end);  // a stopped reply leaves only the prompt
            break;
        }
        // Sampling also enters the token into the penalty history; accepting it a
        // second time would halve the history the penalty looks back over.
        const llama_token token = llama_sampler_sample(engine->sampler, engine->ctx, -1);
        if (llama_vocab_is_eog(engine->vocab, token)) break;
        const std::string piece = TokenPiece(engine->vocab, token, false);
        if (!piece.empty()) PostPiece(request.hwnd, piece);
        if (DecodeTokens(engine, &token, 1, engine->n_past, nullptr) != 1) {
            // The reply is cut off here; when the cache is full, the user must learn why.
            return engine->n_past >= n_ctx ? kContextFullText : nullptr;
        }
        engine->cached_tokens.push_back(token);
        engine->n_past += 1;
    }
    return nullptr;
}

// After a run that an exception cut short: the cache keeps only what
// cached_tokens lists, so the next run's prefix reuse stays sound.
void ForgetUnlistedTokens(Engine* engine) {
    if (!engine || !engine->ctx) return;
    TrimCache(engine, static_cast<int32_t>(engine->cached_tokens.size()));
}

}  // namespace

DWORD WINAPI GenerationThread(LPVOID parameter) {
    GenerationRequest* request = static_cast<GenerationRequest*>(parameter);
    const char* error = nullptr;
    try {
        error = Generate(*request);
    } catch (...) {
        // The library throws on some texts (byte-level BPE on a code point above
        // U+10FFFF): the reply fails, the program and its conversation stay.
        ForgetUnlistedTokens(request->engine);
        error = kPromptFailedText;
    }
    if (error) {
        PostTextMessage(request->hwnd, WM_APP_ERROR, error);
    } else {
        PostMessageW(request->hwnd, WM_APP_GEN_DONE, 0, 0);
    }
    DeleteGenerationRequest(request);  // after the final message, touch nothing shared
    return 0;
}

SIZE_T GenerationStackBytes(const Engine* engine, const std::string& prompt) {
    if (!engine || !engine->ready) return kBaseStackBytes;  // the run ends before tokenising
    // Only a prompt the run lets through reaches the tokeniser, whole.
    const int32_t n_ctx = static_cast<int32_t>(llama_n_ctx(engine->ctx));
    const size_t tokenised = std::min({prompt.size(), LongestPromptThatCanFit(engine->prompt_bound, n_ctx),
                                       static_cast<size_t>(INT32_MAX)});
    return kBaseStackBytes + kStackBytesPerPromptByte * tokenised;
}

HANDLE StartGenerationThread(GenerationRequest* request) {
    if (!request) return nullptr;
    return CreateThread(nullptr, GenerationStackBytes(request->engine, request->prompt), GenerationThread, request,
                        STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
}

int32_t DecodeTokens(Engine* engine, const llama_token* tokens, int32_t count, int32_t first_position,
                     const std::atomic<bool>* stop_flag) {
    int32_t offset = 0;
    for (; offset < count; offset += kChunkTokens) {
        if (offset > 0 && stop_flag && stop_flag->load()) break;
        const int32_t m = std::min(count - offset, kChunkTokens);
        llama_batch batch = llama_batch_init(m, 0, 1);
        for (int32_t j = 0; j < m; ++j) {
            batch.token[j] = tokens[offset + j];
            batch.pos[j] = first_position + offset + j;
            batch.n_seq_id[j] = 1;
            batch.seq_id[j][0] = 0;
            batch.logits[j] = 0;
        }
        batch.logits[m - 1] = 1;  // every chunk's last token gives an output
        batch.n_tokens = m;
        const int32_t result = llama_decode(engine->ctx, batch);
        llama_batch_free(batch);
        if (result != 0) return -1;
    }
    return std::max(std::min(offset, count), 0);
}

std::string TokenPiece(const llama_vocab* vocab, llama_token token, bool render_special) {
    std::string text(kPieceBufferBytes, '\0');
    int32_t length = llama_token_to_piece(vocab, token, text.data(), static_cast<int32_t>(text.size()), 0, render_special);
    if (length < 0) {  // longer than the usual buffer: ask again with the size it needs
        text.assign(static_cast<size_t>(-length), '\0');
        length = llama_token_to_piece(vocab, token, text.data(), static_cast<int32_t>(text.size()), 0, render_special);
    }
    text.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return text;
}

void PostPiece(HWND hwnd, const std::string& piece) { PostTextMessage(hwnd, WM_APP_TOKEN, piece.c_str()); }

void DeleteGenerationRequest(GenerationRequest* request) { delete request; }
