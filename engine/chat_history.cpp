// Conversation turns and the ChatML prompt. UI thread.

#include "chat_history.h"

#include <string_view>

namespace {

constexpr std::string_view kMarkers[] = {"<|im_start|>", "<|im_end|>"};

// `text` without its markers, also those that removing others forms. Neither
// marker overlaps itself or the other, so however the erasures are ordered the
// text ends the same; dropping each marker as its last byte arrives gets there in
// one pass, where searching again from the start after each erasure was quadratic.
std::string WithoutMarkers(const std::string& text) {
    std::string cleaned;
    cleaned.reserve(text.size());
    for (char byte : text) {
        cleaned.push_back(byte);
        if (byte != '>') continue;  // the last byte of both markers
        for (std::string_view marker : kMarkers) {
            const bool ends_with_marker = cleaned.size() >= marker.size() &&
                                          cleaned.compare(cleaned.size() - marker.size(), marker.size(), marker) == 0;
            if (ends_with_marker) {
                cleaned.resize(cleaned.size() - marker.size());
                break;
            }
        }
    }
    return cleaned;
}

void AppendTurn(std::string& prompt, const char* header, const std::string& text) {
    prompt += header;
    prompt += text;
    prompt += "<|im_end|>\n";
}

}  // namespace

void AddUserMessage(ChatHistory& history, const std::string& text) {
    history.messages.push_back(ChatMessage{0, WithoutMarkers(text)});
}

std::string BuildPrompt(const ChatHistory& history) {
    std::string prompt;
    AppendTurn(prompt, "<|im_start|>system\n", kSystemPrompt);
    for (const ChatMessage& message : history.messages) {
        AppendTurn(prompt, message.role == 0 ? "<|im_start|>user\n" : "<|im_start|>assistant\n", message.text);
    }
    prompt += "<|im_start|>assistant\n";
    return prompt;
}
