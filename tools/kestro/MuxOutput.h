#pragma once
// The export's output as FFmpeg writes it: through an I/O context of our own onto the temporary
// file, renamed to its final name only when whole.
extern "C" {
#include <libavformat/avio.h>
}

#include <cstdint>
#include <string>

#include "Files.h"

namespace kestro::tool {

class MuxOutput {
public:
    MuxOutput() = default;
    MuxOutput(const MuxOutput&) = delete;
    MuxOutput& operator=(const MuxOutput&) = delete;
    ~MuxOutput() { Discard(); }

    // The temporary file beside `final` (leftovers of killed runs removed and named) and the
    // context that writes it.
    bool Create(const std::string& final, std::string& error);
    AVIOContext* io() const { return io_; }
    // The errno of a write the file refused; 0 when none was.
    int lastErrno() const { return lastErrno_; }
    void Discard();
    bool Finish(const std::string& final, std::string& error);

private:
    static int WritePacket(void* opaque, uint8_t* buf, int size); // FFmpeg 5 has no const here
    static int64_t Seek(void* opaque, int64_t offset, int whence);
    void FreeContext();

    OutputFile file_;
    AVIOContext* io_ = nullptr;
    int lastErrno_ = 0;
};

} // namespace kestro::tool
