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

constexpr std::string_view kEscapedSpace = "\xE2\x96\x81";  // U+2581: how SentencePiece writes a space
constexpr size_t kLongestCharacter = 4;  // bytes of a UTF-8 character at most

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

// Whether valid UTF-8 can hold `byte` (it never holds C0, C1 or F5 to FF).
bool InValidUtf8(unsigned char byte) { return byte != 0xC0 && byte != 0xC1 && byte < 0xF5; }

// Appends `text` to `out` with every U+2581 read as a space.
void AppendWithSpaces(std::string_view text, std::string* out) {
    for (size_t at = text.find(kEscapedSpace); at != std::string_view::npos; at = text.find(kEscapedSpace)) {
        out->append(text.substr(0, at));
        out->push_back(' ');
        text.remove_prefix(at + kEscapedSpace.size());
    }
    out->append(text);
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
    std::vector<std::string_view> texts(n_tokens);  // the vocabulary's own strings, alive as long as it is
    for (llama_token token = 0; token < n_tokens; ++token) texts[token] = llama_vocab_get_text(vocab, token);
    std::vector<llama_token> shortest_first(n_tokens);
    std::iota(shortest_first.begin(), shortest_first.end(), 0);
    std::stable_sort(shortest_first.begin(), shortest_first.end(),
                     [&texts](llama_token a, llama_token b) { return texts[a].size() < texts[b].size(); });
    std::unordered_set<std::string_view> reached;
    reached.reserve(n_tokens);
    const auto symbol_or_reached = [&reached](std::string_view text) {
        return (!text.empty() && SymbolLength(static_cast<unsigned char>(text[0])) >= text.size()) || reached.count(text);
    };
    const int whole = LLAMA_TOKEN_ATTR_CONTROL | LLAMA_TOKEN_ATTR_USER_DEFINED | LLAMA_TOKEN_ATTR_UNKNOWN |
                      LLAMA_TOKEN_ATTR_BYTE;
    std::vector<bool> given(n_tokens, false);
    for (llama_token token : shortest_first) {
        const std::string_view text = texts[token];
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

// Pieces back to back, before they are sorted.
struct PieceList {
    std::string texts;
    struct Span {
        uint64_t sort_key;  // the first 8 bytes as a number that orders as they do (zeros past the end)
        uint32_t start;
        uint32_t end;
    };
    std::vector<Span> spans;

    std::string_view Text(const Span& span) const {
        return std::string_view(texts).substr(span.start, span.end - span.start);
    }
    // Lists texts[start, end) as a piece.
    void Add(size_t start, size_t end) {
        unsigned char bytes[8] = {};
        memcpy(bytes, texts.data() + start, std::min<size_t>(end - start, 8));
        uint64_t sort_key = 0;
        for (unsigned char byte : bytes) sort_key = sort_key << 8 | byte;
        spans.push_back({sort_key, static_cast<uint32_t>(start), static_cast<uint32_t>(end)});
    }
};

// Makes the listed pieces the bound's, sorted, each once. Sorting by the keys
// first keeps the comparisons in one array instead of all over the texts.
void KeepPieces(PromptBound* bound, PieceList list) {
    const auto before = [&list](const PieceList::Span& a, const PieceList::Span& b) {
        if (a.sort_key != b.sort_key) return a.sort_key < b.sort_key;
        return list.Text(a) < list.Text(b);
    };
    const auto same = [&list](const PieceList::Span& a, const PieceList::Span& b) {
        return a.sort_key == b.sort_key && list.Text(a) == list.Text(b);
    };
    std::sort(list.spans.begin(), list.spans.end(), before);
    list.spans.erase(std::unique(list.spans.begin(), list.spans.end(), same), list.spans.end());
    size_t n_bytes = 0;
    for (const PieceList::Span& span : list.spans) n_bytes += span.end - span.start;
    bound->piece_bytes.clear();
    bound->piece_ends.clear();
    bound->longest_piece = 0;
    bound->longest_cover = 0;
    if (n_bytes > UINT32_MAX) return;  // no vocabulary spells this much: no bound
    bound->piece_bytes.reserve(n_bytes);
    bound->piece_ends.reserve(list.spans.size());
    for (const PieceList::Span& span : list.spans) {
        const std::string_view piece = list.Text(span);
        bound->piece_bytes.append(piece);
        bound->piece_ends.push_back(static_cast<uint32_t>(bound->piece_bytes.size()));
        bound->longest_piece = std::max(bound->longest_piece, piece.size());
        if (bound->sentence_piece) {
            // A space of a SentencePiece token may stand for a written U+2581, 3 bytes.
            const size_t n_spaces = std::count(piece.begin(), piece.end(), ' ');
            bound->longest_cover = std::max(bound->longest_cover, piece.size() + 2 * n_spaces);
        }
    }
    // Byte-level BPE reads an overlong form of up to 4 bytes as a character of 1.
    if (!bound->sentence_piece) bound->longest_cover = kLongestCharacter * bound->longest_piece;
}

// Piece `i` of the bound's sorted pieces.
std::string_view Piece(const PromptBound& bound, size_t i) {
    const uint32_t start = i == 0 ? 0 : bound.piece_ends[i - 1];
    return std::string_view(bound.piece_bytes).substr(start, bound.piece_ends[i] - start);
}

// The first of pieces [lo, hi), which are sorted and all longer than `depth`,
// whose byte at `depth` is above `byte`, or at least `byte` when `at_least`.
size_t FirstPieceWithByte(const PromptBound& bound, size_t lo, size_t hi, size_t depth, unsigned char byte,
                          bool at_least) {
    while (lo < hi) {
        const size_t middle = lo + (hi - lo) / 2;
        const uint32_t start = middle == 0 ? 0 : bound.piece_ends[middle - 1];
        const unsigned char here = static_cast<unsigned char>(bound.piece_bytes[start + depth]);
        if (here < byte || (!at_least && here == byte)) {
            lo = middle + 1;
        } else {
            hi = middle;
        }
    }
    return lo;
}

// The fewest tokens that could spell `text`, each a piece, a byte or a whole character.
int64_t FewestTokens(const PromptBound& bound, std::string_view text) {
    // fewest[i % window]: the fewest tokens that spell the first i bytes. No step
    // is longer than the window, so the slots of positions behind i are reused.
    const size_t n = text.size();
    const size_t window = std::max(bound.longest_piece, kLongestCharacter) + 1;
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
        // Every piece that the text continues with: pieces [lo, hi) share its next
        // `depth` bytes, and the one of exactly that length sorts first.
        size_t lo = 0;
        size_t hi = bound.piece_ends.size();
        for (size_t depth = 0; i + depth < n && lo < hi; ++depth) {
            if (Piece(bound, lo).size() == depth) ++lo;
            const unsigned char byte = static_cast<unsigned char>(text[i + depth]);
            lo = FirstPieceWithByte(bound, lo, hi, depth, byte, true);
            hi = FirstPieceWithByte(bound, lo, hi, depth, byte, false);
            if (lo < hi && Piece(bound, lo).size() == depth + 1) reach(i + depth + 1);
        }
    }
    return fewest[n % window];
}

// The valid UTF-8 `prompt` as the count reads it: SentencePiece reads a written
// U+2581 just as the space it writes it for. `spaced` holds a copy when one is needed.
std::string_view CountedText(const PromptBound& bound, const std::string& prompt, std::string* spaced) {
    if (!bound.sentence_piece || prompt.find(kEscapedSpace) == std::string::npos) return prompt;
    spaced->reserve(prompt.size());
    AppendWithSpaces(prompt, spaced);
    return *spaced;
}

}  // namespace

PromptBound MakePromptBound(const llama_model* model, const llama_vocab* vocab) {
    PromptBound bound;
    if (!model || !vocab) return bound;
    // SentencePiece and byte-level BPE tokens spell the prompt's bytes exactly (the
    // former with its spaces written as U+2581); other tokenisers normalise text or
    // drop spaces, so fewer tokens could cover it.
    char tokenizer[32] = "";
    if (llama_model_meta_val_str(model, "tokenizer.ggml.model", tokenizer, sizeof tokenizer) < 0) return bound;
    const bool sentence_piece = strcmp(tokenizer, "llama") == 0;
    if (!sentence_piece && strcmp(tokenizer, "gpt2") != 0) return bound;
    bound.sentence_piece = sentence_piece;
    const int32_t n_tokens = llama_vocab_n_tokens(vocab);
    // A token the tokeniser never gives must not shorten the count: a text
    // spelled with such pieces would pass it and still be slow to tokenise.
    const std::vector<bool> given = sentence_piece ? SentencePieceTokens(vocab) : std::vector<bool>(n_tokens, true);

    // Every piece, back to back.
    PieceList list;
    std::string& texts = list.texts;
    list.spans.reserve(n_tokens);
    bool has_byte[256] = {};
    for (llama_token token = 0; token < n_tokens; ++token) {
        const llama_token_attr attr = llama_vocab_get_attr(vocab, token);
        if (attr & (LLAMA_TOKEN_ATTR_LSTRIP | LLAMA_TOKEN_ATTR_RSTRIP)) return {};  // it swallows the spaces beside it
        if (!sentence_piece && (attr & LLAMA_TOKEN_ATTR_NORMAL) &&
            strstr(llama_vocab_get_text(vocab, token), kEscapedSpace.data())) {
            return {};  // BPE over spaces written as U+2581, not over bytes
        }
        if (!given[token]) continue;
        const std::string piece = TokenPiece(vocab, token, true);
        const size_t start = texts.size();
        if (sentence_piece) {
            AppendWithSpaces(piece, &texts);
        } else {
            texts.append(piece);
        }
        if (texts.size() == start) continue;
        if (texts.size() > UINT32_MAX) return {};
        list.Add(start, texts.size());
        if (texts.size() - start == 1) has_byte[static_cast<unsigned char>(texts[start])] = true;
        // SentencePiece may put a space before a text that has none.
        if (sentence_piece && texts[start] == ' ' && texts.size() - start > 1) list.Add(start + 1, texts.size());
    }
    // A byte of a valid prompt without a token of its own may be dropped by the tokeniser.
    for (int byte = 0; byte < 256; ++byte) {
        if (!has_byte[byte] && InValidUtf8(static_cast<unsigned char>(byte))) return {};
    }
    KeepPieces(&bound, std::move(list));
    return bound;
}

void SetPieces(PromptBound* bound, const std::vector<std::string_view>& pieces) {
    PieceList list;
    for (std::string_view piece : pieces) {
        list.texts.append(piece);
        list.Add(list.texts.size() - piece.size(), list.texts.size());
    }
    KeepPieces(bound, std::move(list));
}

int64_t FewestPromptTokens(const PromptBound& bound, const std::string& prompt) {
    // In broken UTF-8, byte-level BPE may read a byte as U+FFFD that joins its
    // neighbours in one token, and SentencePiece cuts symbols by lead bytes alone:
    // the count follows neither. The program's own prompts are always valid UTF-8.
    if (bound.piece_ends.empty() || !IsValidUtf8(prompt)) return 0;
    std::string spaced;
    return FewestTokens(bound, CountedText(bound, prompt, &spaced));
}

size_t LongestPromptThatCanFit(const PromptBound& bound, int32_t n_ctx) {
    if (bound.piece_ends.empty()) return SIZE_MAX;
    // No token stands for more bytes than the longest cover, nor a byte or a
    // character for more than 4: more bytes than n_ctx such steps cannot fit.
    const size_t room = static_cast<size_t>(std::max(n_ctx, 0));
    const size_t step = std::max(bound.longest_cover, kLongestCharacter);
    if (room + 1 > SIZE_MAX / step) return SIZE_MAX;
    return (room + 1) * step - 1;
}

bool PromptCannotFit(const PromptBound& bound, const std::string& prompt, int32_t n_ctx) {
    if (bound.piece_ends.empty()) return false;
    if (prompt.size() > LongestPromptThatCanFit(bound, n_ctx)) return true;
    const size_t room = static_cast<size_t>(std::max(n_ctx, 0));
    if (!IsValidUtf8(prompt)) return false;
    // In the text as counted, no token stands for more bytes than its piece.
    std::string spaced;
    const std::string_view text = CountedText(bound, prompt, &spaced);
    if (text.size() / std::max(bound.longest_piece, kLongestCharacter) > room) return true;
    return FewestTokens(bound, text) > n_ctx;
}
