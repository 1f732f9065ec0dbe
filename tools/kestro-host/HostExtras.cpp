#include <windows.h>
#include <vfw.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <vector>

#include "Host.h"
#include "HostWin.h"

namespace host {

int RunConfigure() {
    CodecHandle codec(OpenCodec(ICMODE_QUERY));
    if (!codec)
        return kExitCodec;
    // The sheet is modal and writes the settings file when it is accepted; hosts learn nothing
    // of which button closed it, and neither does this program.
    ICConfigure(codec.get(), GetConsoleWindow());
    return kExitOk;
}

int RunBaseline(const std::string& path, uint64_t frameBytes, uint64_t frames, bool quiet) {
    const uint64_t span = PageRounded(frameBytes);
    PageBuffer buffer{size_t(span)};
    if (!buffer.data() || span > 0xffffffffu) {
        Error("cannot allocate a frame of " + std::to_string(frameBytes) + " bytes");
        return kExitUsage;
    }
    for (size_t i = 0; i < span; ++i)
        buffer.data()[i] = uint8_t(i * 7);
    UniqueFile owned(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, FILE_FLAG_NO_BUFFERING, nullptr));
    const HANDLE file = owned.get();
    if (!owned) {
        Error("cannot create " + path + ": " + SystemMessage(GetLastError()));
        return kExitUsage;
    }
    double t0 = Seconds();
    for (uint64_t i = 0; i < frames; ++i) {
        DWORD done = 0;
        if (!WriteFile(file, buffer.data(), DWORD(span), &done, nullptr) || done != span) {
            Error("plain write failed at frame " + std::to_string(i) + ": " +
                  SystemMessage(GetLastError()));
            return kExitPartial;
        }
    }
    const double writeSeconds = Seconds() - t0;
    LARGE_INTEGER zero{};
    SetFilePointerEx(file, zero, nullptr, FILE_BEGIN);
    t0 = Seconds();
    for (uint64_t i = 0; i < frames; ++i) {
        DWORD done = 0;
        if (!ReadFile(file, buffer.data(), DWORD(span), &done, nullptr) || done != span) {
            Error("plain read failed at frame " + std::to_string(i));
            return kExitPartial;
        }
    }
    const double readSeconds = Seconds() - t0;
    owned.reset(); // the file is deleted only once closed
    DeleteFileA(path.c_str());
    const double bytes = double(frameBytes) * double(frames);
    std::printf("baseline: plain write %.1f MB/s, plain read %.1f MB/s (%llu frames of %llu "
                "bytes, unbuffered WriteFile/ReadFile)\n",
                writeSeconds > 0 ? bytes / writeSeconds / 1e6 : 0.0,
                readSeconds > 0 ? bytes / readSeconds / 1e6 : 0.0, (unsigned long long)frames,
                (unsigned long long)frameBytes);
    (void)quiet;
    return kExitOk;
}

int RunPattern(kestro::PixelKind kind, FrameSize size, uint64_t frames, const std::string& output) {
    if (auto problem = SizeProblem(kind, size)) {
        Error(*problem);
        return kExitUsage;
    }
    FILE* out = stdout;
    if (output.empty() || output == "-")
        _setmode(_fileno(stdout), _O_BINARY);
    else
        out = std::fopen(output.c_str(), "wb");
    if (!out) {
        Error("cannot create " + output);
        return kExitUsage;
    }
    std::vector<uint8_t> frame(size_t(RawFrameBytes(kind, size)));
    int code = kExitOk;
    for (uint64_t i = 0; i < frames; ++i) {
        MakePatternFrame(kind, size, uint32_t(i), frame.data());
        if (std::fwrite(frame.data(), 1, frame.size(), out) != frame.size()) {
            Error("writing the pattern failed");
            code = kExitPartial;
            break;
        }
    }
    if (out != stdout)
        std::fclose(out);
    else
        std::fflush(out);
    return code;
}

} // namespace host
