// The fewest tokens a prompt could become, and the pieces that count is made of.
// Built once by the loader; read by the generation thread.

#include "prompt_bound.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <unordered_set>

#include "generation.h"
#include "windows.h"

namespace {

// Bytes of the UTF-8 character that `lead` starts; 1 for a byte that starts none.
size_t CharacterLength(unsigned char lead) {
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    return 1;
}

// Strict UTF-8 (no overlong form, surrogate or code point above U+10FFFF), as
// the platform's converter reads it.
bool IsValidUtf8(const std::string& text) {
    if (text.empty()) return true;
    if (text.size() > static_cast<size_t>(INT32_MAX)) return false;
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr,
                               0) != 0;
}

// The longest step of FewestTokens: a piece, or a character of up to 4 bytes.
size_t LongestStep(const std::vector<std::string>& pieces) {
    size_t longest = 4;
    for (const std::string& piece : pieces) longest = std::max(longest, piece.size());
    return longest;
}

// Bytes of the symbol SentencePiece starts at `lead`: a character by its lead byte alone.
size_t SymbolLength(unsigned char lead) {
    static const size_t kByHighBits[16] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 3, 4};
    return kByHighBits[lead >> 4];
}

// Which tokens SentencePiece's tokeniser can give: a text is only ever merged from
// two symbols that are tokens or single characters, so a token no such chain
// reaches never appears (but tokens matched whole, or as a byte, do).
std::vector<bool> SentencePieceTokens(const llama_vocab* vocab) {
    const int32_t n_tokens = llama_vocab_n_tokens(vocab);
    std::vector<std::string> texts(n_tokens);
    for (llama_token token = 0; token < n_tokens; ++token) texts[token] = llama_vocab_get_text(vocab, token);
    std::vector<llama_token> shortest_first(n_tokens);
    std::iota(shortest_first.begin(), shortest_first.end(), 0);
    std::stable_sort(shortest_first.begin(), shortest_first.end(),
                     [&texts](llama_token a, llama_token b) { return texts[a].size() < texts[b].size(); });
    std::unordered_set<std::string> reached;
    const auto symbol_or_reached = [&reached](const std::string& text) {
        return (!text.empty() && SymbolLength(static_cast<unsigned char>(text[0])) >= text.size()) || reached.count(text);
    };
    const int whole = LLAMA_TOKEN_ATTR_CONTROL | LLAMA_TOKEN_ATTR_USER_DEFINED | LLAMA_TOKEN_ATTR_UNKNOWN |
                      LLAMA_TOKEN_ATTR_BYTE;
    std::vector<bool> given(n_tokens, false);
    for (llama_token token : shortest_first) {
        const std::string& text = texts[token];
        bool reachable = (llama_vocab_get_attr(vocab, token) & whole) || symbol_or_reached(text);
        for (size_t split = 0; !reachable && split < text.size();) {
            split += SymbolLength(static_cast<unsigned char>(text[split]));
            if (split >= text.size()) break;
            reachable = symbol_or_reached(text.substr(0, split)) && symbol_or_reached(text.substr(split));
        }
        if (!reachable) continue;
        given[token] = true;
        reached.insert(text);
    }
    return given;
}

}  // namespace

PromptBound MakePromptBound(const llama_model* model, const llama_vocab* vocab) {
    PromptBound bound;
    std::vector<std::string>& pieces = bound.pieces;
    if (!model || !vocab) return bound;
    // SentencePiece and byte-level BPE tokens spell the prompt's bytes exactly;
    // other tokenisers normalise text or drop spaces, so fewer tokens could cover it.
    char tokenizer[32] = "";
    if (llama_model_meta_val_str(model, "tokenizer.ggml.model", tokenizer, sizeof tokenizer) < 0) return bound;
    if (strcmp(tokenizer, "llama") != 0 && strcmp(tokenizer, "gpt2") != 0) return bound;
    bound.replaces_broken_utf8 = strcmp(tokenizer, "gpt2") == 0;
    const int32_t n_tokens = llama_vocab_n_tokens(vocab);
    // A token the tokeniser never gives must not shorten the count: a text
    // spelled with such pieces would pass it and still be slow to tokenise.
    const std::vector<bool> given =
        bound.replaces_broken_utf8 ? std::vector<bool>(n_tokens, true) : SentencePieceTokens(vocab);
    for (llama_token token = 0; token < n_tokens; ++token) {
        if (llama_vocab_get_attr(vocab, token) & (LLAMA_TOKEN_ATTR_LSTRIP | LLAMA_TOKEN_ATTR_RSTRIP)) {
            return {};  // the token swallows the spaces beside it
        }
        std::string piece = TokenPiece(vocab, token, true);
        if (piece.empty() || !given[token]) continue;
        // SentencePiece may put a space before a text that has none.
        if (piece[0] == ' ' && piece.size() > 1) pieces.push_back(piece.substr(1));
        pieces.push_back(std::move(piece));
    }
    std::sort(pieces.begin(), pieces.end());
    pieces.erase(std::unique(pieces.begin(), pieces.end()), pieces.end());
    // A byte without a token of its own may be dropped by the tokeniser.
    size_t single_bytes = 0;
    for (const std::string& piece : pieces) single_bytes += piece.size() == 1;
    if (single_bytes != 256) pieces.clear();
    return bound;
}

int64_t FewestTokens(const std::vector<std::string>& pieces, const std::string& text) {
    // fewest[i % window]: the fewest tokens that spell the first i bytes. No step
    // is longer than the window, so the slots of positions behind i are reused.
    const size_t n = text.size();
    const size_t window = LongestStep(pieces) + 1;
    std::vector<int64_t> fewest(window, INT64_MAX);
    fewest[0] = 0;
    for (size_t i = 0; i < n; ++i) {
        const int64_t here = fewest[i % window];
        fewest[i % window] = INT64_MAX;  // from now on the slot stands for position i + window
        const auto reach = [&](size_t end) {
            int64_t& slot = fewest[end % window];
            slot = std::min(slot, here + 1);
        };
        // A byte or a whole character that no piece spells (a byte token, the unknown token).
        reach(i + 1);
        reach(std::min(n, i + CharacterLength(static_cast<unsigned char>(text[i]))));
        // Every piece that the text continues with: pieces[lo, hi) share its next
        // `depth` bytes, and the one of exactly that length sorts first.
        size_t lo = 0;
        size_t hi = pieces.size();
        for (size_t depth = 0; i + depth < n && lo < hi; ++depth) {
            if (pieces[lo].size() == depth) ++lo;
            const unsigned char byte = static_cast<unsigned char>(text[i + depth]);
            const auto first = std::lower_bound(pieces.begin() + lo, pieces.begin() + hi, byte,
                [depth](const std::string& piece, unsigned char b) { return static_cast<unsigned char>(piece[depth]) < b; });
            const auto last = std::upper_bound(first, pieces.begin() + hi, byte,
                [depth](unsigned char b, const std::string& piece) { return b < static_cast<unsigned char>(piece[depth]); });
            lo = static_cast<size_t>(first - pieces.begin());
            hi = static_cast<size_t>(last - pieces.begin());
            if (lo < hi && pieces[lo].size() == depth + 1) reach(i + depth + 1);
        }
    }
    return fewest[n % window];
}

bool PromptCannotFit(const PromptBound& bound, const std::string& prompt, int32_t n_ctx) {
    if (bound.pieces.empty()) return false;
    // No token spells more bytes than the longest step (a replaced byte only
    // spells more): more bytes than n_ctx such steps cannot fit, whatever they are.
    if (prompt.size() / LongestStep(bound.pieces) > static_cast<size_t>(std::max(n_ctx, 0))) return true;
    // A replacement character may join its neighbours in one token, which the
    // count does not see; the program's own prompts are always valid UTF-8.
    if (bound.replaces_broken_utf8 && !IsValidUtf8(prompt)) return false;
    return FewestTokens(bound.pieces, prompt) > n_ctx;
}
