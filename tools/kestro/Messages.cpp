#include "Messages.h"

extern "C" {
#include <libavutil/error.h>
}

#include <cstdio>

#include "Kestro.h"

namespace kestro::tool {

void Error(const std::string& message) {
    std::fprintf(stderr, "kestro: %s\n", message.c_str());
}

void Warning(const std::string& message) {
    std::fprintf(stderr, "kestro: warning: %s\n", message.c_str());
}

int Stopped(const std::string& what) {
    Error("interrupted; " + what);
    return kExitInterrupted;
}

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

void SayRemoved(const OutputFile& file) {
    for (const auto& name : file.Removed())
        std::fprintf(stderr, "kestro: removed %s, left by an export or relink that was killed\n",
                     name.c_str());
}

} // namespace kestro::tool
