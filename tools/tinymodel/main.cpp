// velkin-tinymodel: command-line front of the tiny-model writer (see README.md).

#include "tiny_model.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

const char kUsage[] =
    "usage: velkin-tinymodel OUT.gguf [options]\n"
    "  --reply TEXT        reply TEXT (one byte per token), then end of generation\n"
    "  --reply-file PATH   the same with the exact bytes of a file\n"
    "  --endless           repeat the reply for ever instead of ending it\n"
    "  --end-at-once       end of generation as the very first token (ignores --reply)\n"
    "  --ctx N             training context length written to the file (default 4096; 0 is allowed)\n"
    "  --embd N            embedding width, a multiple of 64 (default: just wide enough)\n"
    "  --layers N          number of layers (default 1)\n"
    "  --ff N              feed-forward width, a multiple of 64 (default: the embedding width)\n"
    "  --pad-vocab N       extra unused vocabulary entries (default 0)\n"
    "  --type f32|f16|q8_0 weight type (default f32)\n";

bool ParseInt(const char* text, int32_t* value) {
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed < 0 || parsed > 100000000) return false;
    *value = static_cast<int32_t>(parsed);
    return true;
}

bool ReadFile(const char* path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    *text = bytes.str();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argv[1][0] == '-') {
        fputs(kUsage, stderr);
        return 2;
    }
    const char* out = argv[1];
    std::string reply = "Hello! I am Tamsy.";
    bool endless = false;
    bool end_at_once = false;
    TinyModel sizes;
    for (int i = 2; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = true;
        if (option == "--endless") {
            endless = true;
            continue;
        } else if (option == "--end-at-once") {
            end_at_once = true;
            continue;
        } else if (!value) {
            ok = false;
        } else if (option == "--reply") {
            reply = value;
        } else if (option == "--reply-file") {
            ok = ReadFile(value, &reply);
        } else if (option == "--ctx") {
            ok = ParseInt(value, &sizes.n_ctx_train);
        } else if (option == "--embd") {
            ok = ParseInt(value, &sizes.n_embd);
        } else if (option == "--layers") {
            ok = ParseInt(value, &sizes.n_layer);
        } else if (option == "--ff") {
            ok = ParseInt(value, &sizes.n_ff);
        } else if (option == "--pad-vocab") {
            ok = ParseInt(value, &sizes.n_vocab_padding);
        } else if (option == "--type") {
            const std::string type = value;
            ok = type == "f32" || type == "f16" || type == "q8_0";
            sizes.weight_type = type == "f16" ? TinyWeightType::F16
                              : type == "q8_0" ? TinyWeightType::Q8_0 : TinyWeightType::F32;
        } else {
            ok = false;
        }
        if (!ok) {
            fprintf(stderr, "velkin-tinymodel: bad option or value: %s\n%s", option.c_str(), kUsage);
            return 2;
        }
        ++i;  // the value
    }

    TinyModel model = end_at_once ? ImmediateEnd() : endless ? EndlessReply(reply) : ScriptedReply(reply);
    model.n_ctx_train = sizes.n_ctx_train;
    model.n_embd = sizes.n_embd;
    model.n_layer = sizes.n_layer;
    model.n_ff = sizes.n_ff;
    model.n_vocab_padding = sizes.n_vocab_padding;
    model.weight_type = sizes.weight_type;
    std::string error;
    if (!WriteTinyModel(model, out, &error)) {
        fprintf(stderr, "velkin-tinymodel: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
