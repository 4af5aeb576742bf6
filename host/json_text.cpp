// JSON quoting and member reading for the host's page messages.
#include "json_text.h"

#include <cstdio>

std::u16string JsonQuote(const std::u16string& text) {
    std::u16string quoted;
    quoted.reserve(text.size() + 2);
    quoted.push_back(u'"');
    for (char16_t unit : text) {
        switch (unit) {
        case u'\t': quoted += u"\\t"; break;
        case u'\n': quoted += u"\\n"; break;
        case u'\r': quoted += u"\\r"; break;
        case u'"': quoted += u"\\\""; break;
        case u'\\': quoted += u"\\\\"; break;
        default:
            if (unit < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(unit));
                quoted.append(escape, escape + 6);
            } else {
                quoted.push_back(unit);
            }
        }
    }
    quoted.push_back(u'"');
    return quoted;
}

std::u16string JsonGetString(const std::u16string& json, const char16_t* key) {
    const std::u16string pattern = u"\"" + std::u16string(key) + u"\":";
    size_t at = json.find(pattern);
    if (at == std::u16string::npos) return {};
    at += pattern.size();
    while (at < json.size() && json[at] == u' ') ++at;
    if (at >= json.size() || json[at] != u'"') return {};
    ++at;

    std::u16string value;
    for (; at < json.size(); ++at) {
        char16_t unit = json[at];
        if (unit == u'"') break;
        if (unit == u'\\' && at + 1 < json.size()) {
            char16_t escaped = json[++at];
            switch (escaped) {
            case u'n': value.push_back(u'\n'); break;
            case u'r': value.push_back(u'\r'); break;
            case u't': value.push_back(u'\t'); break;
            default: value.push_back(escaped); break;  // \" \\ and anything else: the unit itself
            }
            continue;
        }
        value.push_back(unit);
    }
    return value;
}
