// The conversation of the current chat and its rendering as one ChatML prompt.
// UI thread only; the generation thread gets a copy of the rendered prompt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One turn. role 0 is the user, any other value the assistant (only 1 is stored).
struct ChatMessage {
    int32_t role = 0;
    std::string text;  // UTF-8, exactly as appended
};

// Oldest turn first. Only grows at its end; the host clears it for a new chat.
struct ChatHistory {
    std::vector<ChatMessage> messages;
};

inline constexpr char kSystemPrompt[] =
    "Your name is Tamsy. You are a friendly, helpful, and concise local AI assistant. "
    "Keep responses focused and use markdown formatting when it adds clarity. When first "
    "greeted, introduce yourself by name in one short, welcoming sentence.";

// Appends a user turn: `text` with every "<|im_start|>" and "<|im_end|>"
// removed, also those that removing others forms, so a user cannot write the
// prompt's own markers; in time linear in its length. Accepts any text, the
// empty one included. On an allocation failure the history is unchanged.
void AddUserMessage(ChatHistory& history, const std::string& text);

// The whole conversation under the system prompt in ChatML, ending with the open
// assistant header for the model to continue. Changes nothing.
std::string BuildPrompt(const ChatHistory& history);
