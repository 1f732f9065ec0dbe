#include "CaptureAvi.h"

#include "Host.h"
#include "HostWin.h"
#include "RawPictures.h"
#include "TakeRefusal.h"
#include "pure/PixelFormats.h"

namespace host {

AviReader::~AviReader() {
    if (stream_)
        AVIStreamRelease(stream_);
    if (file_)
        AVIFileRelease(file_);
}

bool AviReader::Open(const std::string& path) {
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Error(path + " does not exist");
        return false;
    }
    {
        // The system's AVI library reads what a crashed writer left as no AVI, or as an empty one.
        HandleFile raw;
        if (raw.Open(path, false, false, true) && SaidUnclosed(raw, path))
            return false;
    }
    HRESULT hr = AVIFileOpenA(&file_, path.c_str(), OF_READ | OF_SHARE_DENY_WRITE, nullptr);
    if (hr != AVIERR_OK) {
        Error("cannot open " + path + ": " + AviErrorText(hr));
        return false;
    }
    hr = AVIFileGetStream(file_, &stream_, streamtypeVIDEO, 0);
    if (hr != AVIERR_OK) {
        Error(path + " has no video stream: " + AviErrorText(hr));
        return false;
    }
    AVIStreamInfoA(stream_, &info_, sizeof info_);
    LONG size = 0;
    AVIStreamReadFormat(stream_, AVIStreamStart(stream_), nullptr, &size);
    if (size <= 0 || size > (1 << 20)) {
        Error(path + ": the video stream has no usable format");
        return false;
    }
    format_.assign(size_t(size), 0);
    hr = AVIStreamReadFormat(stream_, AVIStreamStart(stream_), format_.data(), &size);
    if (hr != AVIERR_OK) {
        Error(path + ": cannot read the stream format: " + AviErrorText(hr));
        return false;
    }
    return true;
}

bool AviReader::Read(LONG frame, std::vector<uint8_t>& data) {
    LONG bytes = 0;
    HRESULT hr = AVIStreamRead(stream_, frame, 1, nullptr, 0, &bytes, nullptr);
    if (hr != AVIERR_OK || bytes < 0) {
        Error("cannot read frame " + std::to_string(frame) + ": " + AviErrorText(hr));
        return false;
    }
    data.assign(size_t(bytes), 0);
    if (bytes == 0)
        return true;
    hr = AVIStreamRead(stream_, frame, 1, data.data(), bytes, &bytes, nullptr);
    if (hr != AVIERR_OK) {
        Error("cannot read frame " + std::to_string(frame) + ": " + AviErrorText(hr));
        return false;
    }
    data.resize(size_t(bytes));
    return true;
}

std::optional<kestro::StreamFormatHeader> StreamFormatOf(const std::string& path,
                                                         const std::vector<uint8_t>& format) {
    auto header = kestro::ReadStreamFormat(format.data());
    if (format.size() < kestro::kStreamHeaderBytes || !header ||
        header->biCompression != kestro::kFourccKest) {
        Error(path + " is not a Kestro32 capture: its video format is not a " +
              std::to_string(kestro::kStreamHeaderBytes) + "-byte \"KEST\" stream format");
        return std::nullopt;
    }
    if (format.size() < size_t(header->biSize)) {
        Error(path + ": the stream format claims " + std::to_string(header->biSize) +
              " bytes but the file stores " + std::to_string(format.size()));
        return std::nullopt;
    }
    if (auto refused = kestro::avi::PictureSizeRefusal(*header)) {
        Error(path + ": " + *refused);
        return std::nullopt;
    }
    return header;
}

std::string StoredKindName(const kestro::StreamFormatHeader& h) {
    const kestro::PixelFormat* format =
        kestro::FormatOf(kestro::ClassifyPixelKind(h.biSourceCompression, h.biBitCount));
    return format ? format->name : FourccText(h.biSourceCompression);
}

std::string ReferenceChecker::Problem(const kestro::FrameRecordView& r) {
    const std::string piece(r.path);
    auto known = sizes_.find(piece);
    if (known == sizes_.end()) {
        GatedPath gated = gate_.Piece(piece, "");
        const int64_t bytes = gated.Regular() ? int64_t(gated.bytes) : -1;
        known = sizes_.emplace(piece, bytes).first;
        if (!gated.why.empty())
            refused_.emplace(piece, gated.why);
    }
    if (auto refused = refused_.find(piece); refused != refused_.end())
        return refused->second;
    auto [take, added] = takes_.try_emplace(piece);
    if (added)
        take->second.take = TakeBeside(piece, &take->second.file);
    // A take removed on request leaves no piece, only its take file to say so.
    const bool removed = kestro::MatchTake(take->second.take, r.take) == kestro::TakeMatch::Removed;
    if (known->second < 0 && !removed)
        return "its piece " + piece + " does not exist";
    if (auto replaced = kestro::avi::TakeRefusalText(take->second.take, r.take, take->second.file))
        return "the record names " + piece + " at " + std::to_string(r.offset) + " (" +
               std::to_string(r.size) + " bytes), but " + *replaced;
    if (r.offset + r.size > uint64_t(known->second))
        return "bytes " + std::to_string(r.offset) + " to " + std::to_string(r.offset + r.size) +
               " lie beyond the end of " + piece + " (" + std::to_string(known->second) + " bytes)";
    return {};
}

} // namespace host
