#include "KestStream.h"

#include <fcntl.h>

#include <cerrno>

#include "CodePages.h"
#include "Messages.h"
#include "RawPictures.h"
#include "Recover.h"
#include "Signals.h"
#include "TakeBeside.h"
#include "TakeRefusal.h"
#include "pure/Fourcc.h"

namespace kestro::tool {

namespace {

std::string PictureSize(int32_t width, int32_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

// Scale and rate of every stream become the libraries' rationals of two ints: 1 to 2^31 - 1.
// A start more than an hour late is what readers give up on (they begin at 0): said, not used.
bool CheckTiming(const avi::AviLayout& layout, const std::string& aviPath, std::string& error) {
    for (size_t i = 0; i < layout.streams.size(); ++i) {
        const auto& s = layout.streams[i];
        const std::string name =
            "stream " + std::to_string(i) + " (" +
            (int(i) == layout.kestStream ? std::string("KEST") : FourccText(s.fccType)) + ")";
        for (const auto& [what, value] : {std::pair{"scale", s.scale}, {"rate", s.rate}}) {
            if (value == 0 || value > uint32_t(INT32_MAX)) {
                error = aviPath + ": " + name + ": " + what + " " + std::to_string(value) +
                        " is out of range (1 to 2147483647): the stream has no usable timing";
                return false;
            }
        }
        if (int(i) == layout.kestStream && uint64_t(s.start) * s.scale > 3600ull * s.rate)
            Warning(name + ": a start of " + std::to_string(s.start) +
                    " frames (more than an hour) is not believed; the video begins at 0");
    }
    return true;
}

} // namespace

std::optional<std::string> UnclosedText(avi::ByteFile& file) {
    return avi::UnclosedCaptureText(file, "kestro recover");
}

std::string CutShortText(const std::string& path) {
    PosixFile file(path, O_RDONLY);
    auto unclosed = file.ok() ? UnclosedText(file) : std::nullopt;
    return path + ": " +
           unclosed.value_or("the file is cut short (its last list runs past the end)");
}

bool ReadKestInfo(avi::ByteFile& file, const std::string& aviPath, KestInfo& info,
                  avi::AviLayout& layout, std::string& error, bool acceptCut) {
    auto read = avi::ReadAviLayout(file, true, error, acceptCut);
    if (!read) {
        error = aviPath + ": " + (Interrupted() ? std::string("interrupted") : error);
        return false;
    }
    layout = std::move(*read);
    const auto& s = layout.streams[size_t(layout.kestStream)];
    info.stream = layout.kestStream;
    auto fmt = ReadStreamFormat(s.format.data());
    info.format = *fmt; // the layout only names streams whose format reads
    if (fmt->biChainFormatSize)
        info.chainFormat.assign(s.format.begin() + kStreamHeaderBytes,
                                s.format.begin() + kStreamHeaderBytes + fmt->biChainFormatSize);
    info.chained = fmt->biChainHandler != 0;
    const uint32_t height = AbsoluteHeight(fmt->biHeight);
    if (auto refused = avi::PictureSizeRefusal(*fmt); refused && fmt->biChainHandler) {
        error = aviPath + ": " + *refused;
        return false;
    }
    info.width = fmt->biWidth;
    info.height = int(height);
    info.bottomUp = fmt->biHeight > 0;
    info.scale = s.scale;
    info.rate = s.rate;
    info.start = s.start;
    info.length = s.length;
    if (!info.chained) {
        auto picture = avi::RawPictureOf(*fmt, error);
        if (!picture) {
            error = aviPath + ": " + error;
            return false;
        }
        info.kind = picture->kind;
        info.rowBytes = picture->rowBytes;
        info.storedBytes = picture->storedBytes;
        info.storedStride = picture->storedStride;
    } else if (info.chainFormat.size() < kBitmapHeaderBytes ||
               !ReadBitmapHeader(info.chainFormat.data())) {
        error = aviPath + ": the chained codec '" + FourccText(fmt->biChainHandler) +
                "' left no format of its own in the stream format";
        return false;
    } else {
        // 0 takes the KEST stream's size.
        const auto chain = *ReadBitmapHeader(info.chainFormat.data());
        if (chain.biWidth < 0 || chain.biWidth > avi::kMaxPictureSide ||
            AbsoluteHeight(chain.biHeight) > uint32_t(avi::kMaxPictureSide)) {
            error = aviPath + ": the chained codec's format claims " +
                    PictureSize(chain.biWidth, chain.biHeight) + " pictures";
            return false;
        }
    }
    return true;
}

bool ReadCapture(const std::string& path, KestInfo& info, avi::AviLayout& layout,
                 std::string& error, bool acceptCut) {
    PosixFile file(path, O_RDONLY);
    if (!file.ok()) {
        error = CannotOpen(path, file);
        return false;
    }
    if (!ReadKestInfo(file, path, info, layout, error, acceptCut)) {
        if (auto unclosed = Interrupted() ? std::nullopt : UnclosedText(file))
            error = path + ": " + *unclosed;
        return false;
    }
    if (!CheckTiming(layout, path, error))
        return false;
    if (uint64_t(info.start) * info.scale > 3600ull * info.rate)
        info.start = 0;
    return true;
}

Input::~Input() {
    if (ctx)
        avformat_close_input(&ctx);
}

bool Input::Open(const std::string& path, const KestInfo& info, std::string& error) {
    ctx = avformat_alloc_context();
    if (!ctx) {
        error = "out of memory";
        return false;
    }
    ctx->interrupt_callback = {InterruptCallback, nullptr};
    int r = avformat_open_input(&ctx, path.c_str(), av_find_input_format("avi"), nullptr);
    if (r < 0) {
        error = path + ": " +
                (Interrupted() ? std::string("interrupted")
                               : "cannot be read as an AVI file: " + AvError(r));
        return false;
    }
    if (int(ctx->nb_streams) <= info.stream ||
        ctx->streams[info.stream]->codecpar->codec_tag != kFourccKest) {
        error = path + ": the KEST stream is not where its header list puts it";
        return false;
    }
    return true;
}

std::optional<std::string> RecordChecker::Check(uint64_t frame, const uint8_t* data, size_t size,
                                                FrameSource& source) {
    auto record = ParseFrameRecord(data, size);
    const std::string where =
        "frame " + std::to_string(frame) + ", record " + std::to_string(frame);
    if (!record)
        return where + " (" + std::to_string(size) +
               " bytes): not a frame record (no terminated piece name)";
    source.record = *record;
    const std::string name(record->path);
    const std::string what = where + " (" + Shown(name) + " at " + std::to_string(record->offset) +
                             ", " + std::to_string(record->size) + " bytes)";
    if (auto refused = finder_.Refusal(name))
        return what + ": refused: " + *refused;
    std::string why;
    source.piece = finder_.Find(name, why);
    if (!source.piece) {
        // A take removed on request leaves its take file where its pieces were.
        if (auto removed = RemovedTake(name, record->take))
            return what + ": " + *removed;
        return what + ": piece not found: " + why;
    }
    WarnOnce(*source.piece);
    const PieceTake& beside = TakeOf(*source.piece);
    if (auto replaced = avi::TakeRefusalText(beside.take, record->take, beside.file))
        return what + ": " + *replaced;
    if (!info_.chained && record->size < info_.storedBytes)
        return what + ": smaller than one " + std::to_string(info_.width) + "x" +
               std::to_string(info_.height) + " picture (" + std::to_string(info_.storedBytes) +
               " bytes)";
    if (info_.chained && record->size > kMaxBufferedBytes)
        return what + ": a packet larger than this tool believes (" +
               std::to_string(kMaxBufferedBytes) + " bytes at most)";
    if (record->offset > source.piece->size || record->size > source.piece->size - record->offset)
        return what + ": outside its piece " + source.piece->path + " (" +
               std::to_string(source.piece->size) + " bytes)";
    frames_[name] += 1;
    return std::nullopt;
}

const RecordChecker::PieceTake& RecordChecker::TakeOf(const Piece& piece) {
    auto [at, added] = takes_.try_emplace(piece.path);
    if (auto file = added ? TakeFileBeside(piece.path) : std::nullopt)
        at->second.take = ReadTakeFile(*file, &at->second.file);
    return at->second;
}

std::optional<std::string> RecordChecker::RemovedTake(const std::string& name, uint32_t take) {
    auto takeName = TakeFileOfPiece(name);
    if (!takeName)
        return std::nullopt;
    auto [at, added] = removed_.try_emplace(*takeName);
    if (auto file = added ? finder_.Locate(*takeName) : std::nullopt)
        at->second.take = ReadTakeFile(*file, &at->second.file);
    if (MatchTake(at->second.take, take) != TakeMatch::Removed)
        return std::nullopt;
    return avi::TakeRefusalText(at->second.take, take, at->second.file);
}

void RecordChecker::WarnOnce(const Piece& piece) {
    if (!piece.warning.empty() && warned_.insert(&piece).second)
        Warning(piece.warning);
}

bool PieceReader::Read(const std::string& path, uint64_t offset, void* data, size_t bytes,
                       std::string& why) {
    auto it = files_.find(path);
    if (it == files_.end()) {
        auto file = std::make_unique<PosixFile>(path, O_RDONLY);
        if (file->ok())
            posix_fadvise(file->fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
        else
            why = CannotOpen(path, *file);
        it = files_.emplace(path, std::move(file)).first;
        if (!it->second->ok())
            return false;
    }
    if (!it->second->ok()) {
        why = "cannot open " + path;
        return false;
    }
    if (it->second->ReadAt(offset, data, bytes))
        return true;
    const int code = errno;
    why = "cannot read " + std::to_string(bytes) + " bytes at " + std::to_string(offset) + " of " +
          path + ": ";
    if (code == 0)
        why += "it ends before them, at " + std::to_string(it->second->Size()) +
               " bytes (it shrank since it was looked at)";
    else
        why += Reason(code);
    return false;
}

} // namespace kestro::tool
