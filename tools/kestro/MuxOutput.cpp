#include "MuxOutput.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Messages.h"
#include "Signals.h"

namespace kestro::tool {

int MuxOutput::WritePacket(void* opaque, uint8_t* buf, int size) {
    auto* self = static_cast<MuxOutput*>(opaque);
    if (Interrupted())
        return AVERROR_EXIT;
    if (!WriteAll(self->file_.fd(), buf, size_t(size))) {
        if (Interrupted())
            return AVERROR_EXIT;
        self->lastErrno_ = errno ? errno : EIO;
        return AVERROR(self->lastErrno_);
    }
    return size;
}

int64_t MuxOutput::Seek(void* opaque, int64_t offset, int whence) {
    auto* self = static_cast<MuxOutput*>(opaque);
    if (whence == AVSEEK_SIZE) {
        struct stat st;
        return fstat(self->file_.fd(), &st) == 0 ? int64_t(st.st_size) : -1;
    }
    off_t r = lseek(self->file_.fd(), off_t(offset), whence & ~AVSEEK_FORCE);
    return r < 0 ? AVERROR(errno) : int64_t(r);
}

bool MuxOutput::Create(const std::string& final, std::string& error) {
    if (!file_.Create(final, UsualMode(), error))
        return false;
    SayRemoved(file_);
    const int kBuffer = 1 << 20;
    auto* buffer = static_cast<uint8_t*>(av_malloc(kBuffer));
    io_ =
        buffer ? avio_alloc_context(buffer, kBuffer, 1, this, nullptr, WritePacket, Seek) : nullptr;
    if (!io_) {
        av_free(buffer);
        error = "out of memory";
        return false;
    }
    io_->direct = 1; // whole frames go straight to write(2), not through the buffer
    return true;
}

void MuxOutput::FreeContext() {
    if (io_) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
}

void MuxOutput::Discard() {
    FreeContext();
    file_.Discard();
}

bool MuxOutput::Finish(const std::string& final, std::string& error) {
    if (io_)
        avio_flush(io_);
    FreeContext();
    if (lastErrno_) {
        error = "cannot write " + final + ": " + std::strerror(lastErrno_);
        return false;
    }
    return file_.Finish(true, false, error);
}

} // namespace kestro::tool
