// JsonQuote and JsonGetString: quoting, reading, and every place where they
// knowingly differ from standard JSON.
#include "json_text.h"

#include <gtest/gtest.h>

namespace {

struct QuoteCase {
    const char* name;
    std::u16string text;
    std::u16string quoted;
};

TEST(JsonQuote, WritesTheHostsEscapes) {
    const QuoteCase cases[] = {
        // valid text
        {"empty", u"", u"\"\""},
        {"plain", u"Hello!", u"\"Hello!\""},
        {"five short escapes in place", u"a\"b\\c\td\ne\rf", u"\"a\\\"b\\\\c\\td\\ne\\rf\""},
        {"ellipsis unchanged", u"Loading model\u2026", u"\"Loading model\u2026\""},
        {"solidus and DEL unchanged", u"</script>\u007f", u"\"</script>\u007f\""},
        {"emoji surrogate pair unchanged", u"\U0001F600", u"\"\U0001F600\""},
        {"line and paragraph separators unchanged", u"\u2028\u2029", u"\"\u2028\u2029\""},
        // controls without a short escape
        {"U+0001", u"\u0001", u"\"\\u0001\""},
        {"U+001F lowercase hex", u"\u001f", u"\"\\u001f\""},
        {"escape character", u"\u001b[0m", u"\"\\u001b[0m\""},
        {"backspace in six-unit form", u"\b", u"\"\\u0008\""},
        {"form feed in six-unit form", u"\f", u"\"\\u000c\""},
        // hostile
        {"NUL inside keeps the rest", std::u16string(u"a\0b", 3), u"\"a\\u0000b\""},
        {"lone high surrogate unchanged", std::u16string(1, char16_t(0xD800)) + u"x",
         u"\"" + std::u16string(1, char16_t(0xD800)) + u"x\""},
        {"markup stays text", u"<img src=x onerror=alert(1)>", u"\"<img src=x onerror=alert(1)>\""},
    };
    for (const auto& c : cases) EXPECT_EQ(JsonQuote(c.text), c.quoted) << c.name;
}

struct ReadCase {
    const char* name;
    std::u16string json;
    const char16_t* key;
    std::u16string value;
};

TEST(JsonGetString, ReadsStringMembers) {
    const ReadCase cases[] = {
        {"type of a send", u"{\"type\":\"send\",\"text\":\"hi\"}", u"type", u"send"},
        {"text of a send", u"{\"type\":\"send\",\"text\":\"hi\"}", u"text", u"hi"},
        {"spaces after the colon", u"{\"type\":   \"stop\"}", u"type", u"stop"},
        {"escaped quote and backslash", u"{\"text\":\"a\\\"b\\\\c\"}", u"text", u"a\"b\\c"},
        {"n r t escapes", u"{\"raw\":\"1\\n2\\r3\\t4\"}", u"raw", u"1\n2\r3\t4"},
        {"escaped backslash before the end quote", u"{\"text\":\"a\\\\\",\"x\":\"y\"}", u"text", u"a\\"},
        {"non-ASCII passes", u"{\"text\":\"caf\u00e9 \U0001F600\"}", u"text", u"caf\u00e9 \U0001F600"},
        {"text after the value ignored", u"{\"text\":\"v\"garbage", u"text", u"v"},
    };
    for (const auto& c : cases) EXPECT_EQ(JsonGetString(c.json, c.key), c.value) << c.name;
}

TEST(JsonGetString, DivergesFromStandardJsonAsIntended) {
    const ReadCase cases[] = {
        {"\\u escape is not decoded", u"{\"text\":\"\\u0041\"}", u"text", u"u0041"},
        {"\\/ gives a solidus", u"{\"text\":\"a\\/b\"}", u"text", u"a/b"},
        {"\\b gives the letter b", u"{\"text\":\"\\b\"}", u"text", u"b"},
        {"\\f gives the letter f", u"{\"text\":\"\\f\"}", u"text", u"f"},
        {"space before the colon", u"{\"type\" :\"send\"}", u"type", u""},
        {"tab after the colon", u"{\"type\":\t\"send\"}", u"type", u""},
        {"line feed after the colon", u"{\"type\":\n\"send\"}", u"type", u""},
        {"first occurrence wins even nested", u"{\"a\":{\"type\":\"inner\"},\"type\":\"outer\"}", u"type", u"inner"},
        {"key compared by case", u"{\"Type\":\"send\"}", u"type", u""},
        {"raw control unit copied", u"{\"text\":\"a\u0001b\"}", u"text", u"a\u0001b"},
    };
    for (const auto& c : cases) EXPECT_EQ(JsonGetString(c.json, c.key), c.value) << c.name;
}

TEST(JsonGetString, YieldsEmptyForAbsentOrNonStringValues) {
    const ReadCase cases[] = {
        {"missing member", u"{\"type\":\"send\"}", u"text", u""},
        {"empty string", u"{\"text\":\"\"}", u"text", u""},
        {"number", u"{\"len\":12}", u"len", u""},
        {"true", u"{\"stopped\":true}", u"stopped", u""},
        {"false", u"{\"stopped\":false}", u"stopped", u""},
        {"null", u"{\"text\":null}", u"text", u""},
        {"object", u"{\"text\":{\"a\":\"b\"}}", u"text", u""},
        {"array", u"{\"text\":[\"a\"]}", u"text", u""},
        {"empty json", u"", u"type", u""},
        {"pattern longer than text", u"{\"ty", u"type", u""},
        // hostile: truncated messages
        {"ends while skipping spaces", u"{\"type\":   ", u"type", u""},
        {"opening quote is the last unit", u"{\"type\":\"", u"type", u""},
        {"ends inside the value", u"{\"text\":\"partial", u"text", u"partial"},
        {"lone backslash at the end", u"{\"text\":\"abc\\", u"text", u"abc\\"},
        {"key text inside a value", u"{\"raw\":\"\\\"text\\\":\\\"x\\\"\"}", u"text", u""},
    };
    for (const auto& c : cases) EXPECT_EQ(JsonGetString(c.json, c.key), c.value) << c.name;
}

TEST(JsonRoundTrip, QuoteThenReadGivesTheTextBack) {
    const std::u16string texts[] = {
        u"", u"plain", u"tab\tline\nreturn\r", u"quote \" backslash \\ end\\",
        u"\u2026 \U0001F600 \u2028", u"{\"type\":\"send\"}",
    };
    for (const auto& text : texts)
        EXPECT_EQ(JsonGetString(u"{\"text\":" + JsonQuote(text) + u"}", u"text"), text);
}

TEST(JsonRoundTrip, OtherControlsComeBackAsTheLetterU) {
    EXPECT_EQ(JsonGetString(u"{\"text\":" + JsonQuote(u"a\u0001b\fc") + u"}", u"text"), u"au0001bu000cc");
}

}  // namespace
