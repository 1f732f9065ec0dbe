#include "capture/TakeRecorder.h"

#include "edge/TakeFiles.h"
#include "pure/StreamFormat.h"

using namespace kestro;

namespace {

// The bytes a format claims, when a take file may keep them: its header's biSize, or for a
// stream format the 52 bytes and the chained format.
std::vector<uint8_t> FormatBytes(const BITMAPINFOHEADER* format) {
    auto header = ReadBitmapHeader(format);
    if (!header)
        return {};
    size_t bytes = header->biSize;
    if (auto stream = ReadStreamFormat(format))
        bytes = kStreamHeaderBytes + size_t(stream->biChainFormatSize);
    if (bytes > kMaxTakeFormatBytes)
        bytes = kBitmapHeaderBytes;
    const auto* start = reinterpret_cast<const uint8_t*>(format);
    return std::vector<uint8_t>(start, start + bytes);
}

void Say(const std::string& what, const std::string& path) {
    const std::string text = "Kestro32: cannot " + what + " the take file " + path +
                             " (system error " + std::to_string(GetLastError()) +
                             "); the capture goes on\n";
    OutputDebugStringA(text.c_str());
}

} // namespace

void TakeRecorder::Begin(const std::string& firstPiece, const BITMAPINFOHEADER* in,
                         const BITMAPINFOHEADER* out, uint64_t pieceBytes,
                         const StripeOfTake& stripe) {
    auto path = TakeFileOfPiece(firstPiece);
    path_ = path ? *path : std::string();
    if (stripe.drawn) {
        take_ = TakeFile{};
        take_.id = stripe.drawn->id;
        take_.started = stripe.drawn->started;
    } else {
        take_ = FreshTake();
    }
    frames_ = 0;
    written_ = false;
    if (path_.empty())
        return;
    take_.pieceBytes = pieceBytes;
    try {
        take_.inputFormat = FormatBytes(in);
        take_.streamFormat = FormatBytes(out);
    } catch (...) { // without its formats the file still tells the takes apart
    }
    take_.stripe = stripe.stripe;
    try {
        take_.stripeFiles = stripe.files;
    } catch (...) { // a stripe that cannot say its place is taken for a take of its own
        take_.stripe = 0;
        take_.stripeFiles.clear();
    }
    written_ = ReplaceTakeFile(path_, take_);
    if (!written_) {
        Say("write", path_);
        // A file left naming the take before would refuse this take's frames and pass the
        // earlier take's over them: without a take file both play as before.
        DeleteFileA(path_.c_str());
    }
}

void TakeRecorder::End() {
    if (path_.empty())
        return;
    const std::string path = std::move(path_);
    path_.clear();
    if (!written_)
        return;
    // Another program may have replaced the take meanwhile (piece 0 was given up): never
    // write over its take.
    auto now = ReadTakeFileAt(path).take;
    if (!now || now->id != take_.id)
        return;
    take_.replaced = now->replaced;
    take_.frames = frames_;
    take_.ended = TakeTimeNow();
    if (!WriteTakeFileAt(path, take_))
        Say("finish", path);
}
