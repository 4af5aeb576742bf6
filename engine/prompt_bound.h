// A cheap, exact refusal of prompts too long for the context: the fewest tokens
// a text could become, counted without tokenising it (the library's tokeniser
// costs the square of a text's length for some texts). Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "llama.h"

// What bounds a prompt's token count with one vocabulary. Built once per model.
struct PromptBound {
    std::string piece_bytes;           // every piece a token stands for, back to back, in byte order, no repeats
    std::vector<uint32_t> piece_ends;  // where each piece ends in piece_bytes; empty: no bound
    size_t longest_piece = 0;          // bytes of the longest piece
    size_t longest_cover = 0;          // the most bytes of any prompt, broken UTF-8 too, one token can stand for
    bool sentence_piece = false;       // SentencePiece: it writes spaces as U+2581, so reads both alike; else byte-level BPE
};

// The bound for `vocab`. No pieces when its tokeniser may drop or rewrite prompt
// bytes (it strips spaces, normalises text, or lacks a token for a byte of valid
// UTF-8): no bound is known then. Can't fail.
PromptBound MakePromptBound(const llama_model* model, const llama_vocab* vocab);

// Makes `pieces` (any order, repeats allowed, none empty) the bound's pieces and
// sets longest_piece and longest_cover from them, as bound->sentence_piece says. Can't fail.
void SetPieces(PromptBound* bound, const std::vector<std::string_view>& pieces);

// The fewest tokens `prompt` could become, each a piece, a byte or a whole
// character, in time linear in its length; 0 when no bound is known for it (no
// pieces, or a prompt that is not valid UTF-8).
int64_t FewestPromptTokens(const PromptBound& bound, const std::string& prompt);

// The most bytes a prompt that PromptCannotFit lets through in `n_ctx` tokens can
// have; SIZE_MAX with no pieces, when any prompt goes through. Can't fail.
size_t LongestPromptThatCanFit(const PromptBound& bound, int32_t n_ctx);

// True only when `prompt` is certain to need more than `n_ctx` tokens, in time
// linear in its length: a prompt that can fit is never refused. False with no pieces.
bool PromptCannotFit(const PromptBound& bound, const std::string& prompt, int32_t n_ctx);
