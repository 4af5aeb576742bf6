// IncompleteUtf8TailLength: which trailing bytes must wait for the next piece.
#include "utf8_tail.h"

#include <gtest/gtest.h>

namespace {

struct TailCase {
    const char* name;
    std::string text;
    size_t tail;
};

TEST(IncompleteUtf8Tail, FindsCutCharacters) {
    const TailCase cases[] = {
        // complete text
        {"empty", "", 0},
        {"ASCII", "hello", 0},
        {"whole two-byte", "caf\xC3\xA9", 0},
        {"whole three-byte", "\xE2\x80\xA6", 0},
        {"whole emoji", "x\xF0\x9F\x98\x80", 0},
        // cut characters
        {"two-byte lead only", "caf\xC3", 1},
        {"three-byte, one of three", "a\xE2", 1},
        {"three-byte, two of three", "a\xE2\x80", 2},
        {"emoji, one of four", "\xF0", 1},
        {"emoji, two of four", "\xF0\x9F", 2},
        {"emoji, three of four", "ok \xF0\x9F\x98", 3},
        // hostile: bytes that can never complete are sent at once
        {"stray continuation", "a\x80", 0},
        {"four continuations", "\x80\x80\x80\x80", 0},
        {"overlong lead C0", "a\xC0", 0},
        {"lead F5 is never valid", "a\xF5\x80", 0},
        {"FF", "\xFF", 0},
        {"whole two-byte after a cut three-byte", "\xE2\xC3\xA9", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(IncompleteUtf8TailLength(c.text), c.tail) << c.name;
}

}  // namespace
