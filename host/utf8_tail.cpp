// Incomplete trailing UTF-8 sequences.
#include "utf8_tail.h"

namespace {

// Bytes a character needs, judged from its lead byte; 0 for a byte that
// cannot start a multi-byte character.
size_t SequenceLength(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

size_t IncompleteUtf8TailLength(const std::string& text) {
    // A cut character has its lead byte among the last three bytes.
    size_t n_continuations = 0;
    for (size_t back = 1; back <= 3 && back <= text.size(); ++back) {
        unsigned char byte = static_cast<unsigned char>(text[text.size() - back]);
        if (IsContinuation(byte)) {
            ++n_continuations;
            continue;
        }
        size_t needed = SequenceLength(byte);
        return needed > n_continuations + 1 ? n_continuations + 1 : 0;
    }
    return 0;
}
