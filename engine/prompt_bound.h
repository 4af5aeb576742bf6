// A cheap, exact refusal of prompts too long for the context: the fewest tokens
// a text could become, counted without tokenising it (the library's tokeniser
// costs the square of a text's length for some texts). Any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "llama.h"

// What bounds a prompt's token count with one vocabulary.
struct PromptBound {
    std::vector<std::string> pieces;  // the text every token stands for, sorted, no repeats; empty: no bound
    bool replaces_broken_utf8 = false;  // the tokeniser spells a broken UTF-8 sequence as U+FFFD (byte-level BPE)
};

// The bound for `vocab`. No pieces when its tokeniser may drop or rewrite prompt
// bytes (it strips spaces, normalises text, or lacks a token for some byte): no
// bound is known then. Can't fail.
PromptBound MakePromptBound(const llama_model* model, const llama_vocab* vocab);

// True only when `prompt` is certain to need more than `n_ctx` tokens, in time
// linear in its length: a prompt that can fit is never refused. False with no pieces.
bool PromptCannotFit(const PromptBound& bound, const std::string& prompt, int32_t n_ctx);

// The fewest tokens that could spell `text`, each a piece, a byte or a whole character.
int64_t FewestTokens(const std::vector<std::string>& pieces, const std::string& text);
