// Conversation turns and the ChatML prompt. UI thread.

#include "chat_history.h"

namespace {

constexpr char kImStart[] = "<|im_start|>";
constexpr char kImEnd[] = "<|im_end|>";

// Removes every `marker`, searching again from the start after each erasure, so a
// marker that an erasure forms out of the bytes around it goes as well.
void EraseEvery(std::string& text, const std::string& marker) {
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker)) {
        text.erase(at, marker.size());
    }
}

void AppendTurn(std::string& prompt, const char* header, const std::string& text) {
    prompt += header;
    prompt += text;
    prompt += "<|im_end|>\n";
}

}  // namespace

void AddUserMessage(ChatHistory& history, const std::string& text) {
    std::string cleaned = text;
    // Erasing the end markers can join the bytes around them into a new start
    // marker, so both passes repeat until neither marker is left.
    do {
        EraseEvery(cleaned, kImStart);
        EraseEvery(cleaned, kImEnd);
    } while (cleaned.find(kImStart) != std::string::npos);
    history.messages.push_back(ChatMessage{0, std::move(cleaned)});
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
