#include "formats/CodecFormats.h"
#include "pure/PixelFormats.h"
#include "pure/StreamFormat.h"

#include <cstring>

namespace kestro {

namespace {

// A host format we can reason about: at least 40 bytes, a positive width, a non-zero height and
// a picture whose byte count fits 32 bits even at 32 bits per pixel.
std::optional<BitmapHeader> UsablePicture(const void* format) {
    auto header = ReadBitmapHeader(format);
    if (!header || header->biWidth <= 0 || header->biHeight == 0)
        return std::nullopt;
    if (!PictureBytes(header->biWidth, header->biHeight, 32))
        return std::nullopt;
    return header;
}

// The chained codec reads a whole header from the chained part: it must hold one, and the size
// that header declares must lie inside the part.
bool ChainedPartFits(const void* format, const StreamFormatHeader& stream) {
    if (stream.biChainFormatSize < kBitmapHeaderBytes)
        return false;
    uint32_t chainedSize;
    std::memcpy(&chainedSize, ChainFormatOf(format, stream), sizeof chainedSize);
    return chainedSize >= kBitmapHeaderBytes && chainedSize <= stream.biChainFormatSize;
}

// A stream format of this codec, checked like a picture, whose chained format (when named)
// lies inside it and declares a size of its own that also does.
std::optional<StreamFormatHeader> UsableStream(const void* format) {
    if (!UsablePicture(format))
        return std::nullopt;
    auto stream = ReadStreamFormat(format);
    if (!stream || KindOf(*stream) != KIND_STORED)
        return std::nullopt;
    if (stream->biChainHandler != 0 && !ChainedPartFits(format, *stream))
        return std::nullopt;
    if (stream->biChainHandler == 0 && !StoredSourceUsable(*stream))
        return std::nullopt;
    return stream;
}

LRESULT Ask(HIC hic, UINT message, const void* a, const void* b) {
    return ICSendMessage(hic, message, reinterpret_cast<DWORD_PTR>(a),
                         reinterpret_cast<DWORD_PTR>(b));
}

const BITMAPINFOHEADER* ChainedPart(const void* format, const StreamFormatHeader& stream) {
    return static_cast<const BITMAPINFOHEADER*>(ChainFormatOf(format, stream));
}

} // namespace

CodecFormats::CodecFormats(CCodecSettings* shared, ChainedCodecs& chained)
    : settings(shared), chained(chained) {}

bool CodecFormats::OpenChainedCompressor() {
    return chained.OpenCompressor(settings ? uint32_t(settings->chainedFourcc) : 0);
}

LRESULT CodecFormats::CompressInputCheck(const BITMAPINFOHEADER* in) {
    auto header = UsablePicture(in);
    if (!header)
        return ICERR_BADFORMAT;
    if (settings->chainedFourcc == 0) {
        // A kind of unpadded rows also needs the size and shape its frames will be stored in.
        const PixelFormat* format = FormatOf(KindOf(*header));
        return format && format->stored && InputImageBytes(*header) ? ICERR_OK : ICERR_BADFORMAT;
    }
    if (!OpenChainedCompressor())
        return ICERR_BADFORMAT;
    return Ask(chained.Compressor(), ICM_COMPRESS_QUERY, in, nullptr) == ICERR_BADFORMAT
               ? ICERR_BADFORMAT
               : ICERR_OK;
}

LRESULT CodecFormats::CompressQuery(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
    if (!out)
        return CompressInputCheck(in);
    if (settings->chainedFourcc == 0)
        return KindOf(out) == KIND_STORED ? ICERR_OK : ICERR_BADFORMAT;
    if (!UsablePicture(in) || !ReadBitmapHeader(out))
        return ICERR_BADFORMAT;
    const void* target = out;
    if (out->biSize >= kStreamHeaderBytes) {
        auto stream = ReadStreamFormat(out);
        if (!stream)
            return ICERR_BADFORMAT;
        if (stream->biChainFormatSize != 0) {
            if (!ChainedPartFits(out, *stream))
                return ICERR_BADFORMAT;
            target = ChainFormatOf(out, *stream);
        }
    }
    if (!OpenChainedCompressor())
        return ICERR_BADFORMAT;
    return Ask(chained.Compressor(), ICM_COMPRESS_QUERY, in, target) == ICERR_BADFORMAT
               ? ICERR_BADFORMAT
               : ICERR_OK;
}

LRESULT CodecFormats::CompressGetFormat(const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out) {
    if (CompressInputCheck(in) != ICERR_OK)
        return ICERR_BADFORMAT;
    // The chained codec's answer sizes the host's buffer: a negative or absurd size would make
    // the second call write past what the host allocated.
    auto chainedSize = [&]() -> LRESULT {
        LRESULT n = Ask(chained.Compressor(), ICM_COMPRESS_GET_FORMAT, in, nullptr);
        if (n < 0 || n > LRESULT(INT32_MAX - kStreamHeaderBytes))
            return ICERR_BADFORMAT;
        return n;
    };
    if (!out) {
        if (settings->chainedFourcc == 0)
            return kStreamHeaderBytes;
        LRESULT n = chainedSize();
        return n < 0 ? ICERR_BADFORMAT : LRESULT(kStreamHeaderBytes) + n;
    }
    StreamFormatHeader stream = MakeStreamFormat(*ReadBitmapHeader(in));
    std::memcpy(out, &stream, sizeof stream);
    if (settings->chainedFourcc == 0)
        return ICERR_OK;
    // The codec that writes the chained part, which differs from the setting only during a run.
    stream.biChainHandler = chained.CompressorCode();
    std::memcpy(out, &stream, sizeof stream);
    LRESULT n = chainedSize();
    if (n < 0)
        return ICERR_BADFORMAT;
    stream.biSize = kStreamHeaderBytes + uint32_t(n);
    stream.biChainFormatSize = uint32_t(n);
    std::memcpy(out, &stream, sizeof stream);
    auto* part = reinterpret_cast<uint8_t*>(out) + kStreamHeaderBytes;
    if (Ask(chained.Compressor(), ICM_COMPRESS_GET_FORMAT, in, part) == ICERR_BADFORMAT)
        return ICERR_BADFORMAT;
    return ICERR_OK;
}

LRESULT CodecFormats::CompressGetSize(const BITMAPINFOHEADER* in) {
    auto header = UsablePicture(in);
    if (!header)
        return ICERR_BADFORMAT;
    auto bytes = LargestFrameBytes(*header);
    return bytes ? LRESULT(*bytes) : ICERR_BADFORMAT;
}

LRESULT CodecFormats::DecompressInputCheck(const BITMAPINFOHEADER* in) {
    auto stream = UsableStream(in);
    if (!stream)
        return ICERR_BADFORMAT;
    if (stream->biChainHandler == 0)
        return ICERR_OK;
    return chained.AskDecompressor(stream->biChainHandler, ICM_DECOMPRESS_QUERY,
                                   ChainedPart(in, *stream), nullptr) == ICERR_BADFORMAT
               ? ICERR_BADFORMAT
               : ICERR_OK;
}

LRESULT CodecFormats::DecompressQuery(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
    auto stream = UsableStream(in);
    if (!stream)
        return ICERR_BADFORMAT;
    if (!out)
        return DecompressInputCheck(in);
    auto target = ReadBitmapHeader(out);
    // Either row order of the stored picture can be delivered: only the size must agree.
    if (!target || target->biWidth != stream->biWidth ||
        AbsoluteHeight(target->biHeight) != AbsoluteHeight(stream->biHeight))
        return ICERR_BADFORMAT;
    if (stream->biChainHandler != 0)
        return chained.AskDecompressor(stream->biChainHandler, ICM_DECOMPRESS_QUERY,
                                       ChainedPart(in, *stream), out) == ICERR_BADFORMAT
                   ? ICERR_BADFORMAT
                   : ICERR_OK;
    PixelKind source = ClassifyPixelKind(stream->biSourceCompression, stream->biBitCount);
    return RawOutputAccepted(source, KindOf(*target)) ? ICERR_OK : ICERR_BADFORMAT;
}

LRESULT CodecFormats::DecompressGetFormat(const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out) {
    auto stream = UsableStream(in);
    if (!stream)
        return ICERR_BADFORMAT;
    if (!out) {
        if (stream->biChainHandler == 0)
            return kBitmapHeaderBytes;
        return chained.AskDecompressor(stream->biChainHandler, ICM_DECOMPRESS_GET_FORMAT,
                                       ChainedPart(in, *stream), nullptr);
    }
    if (DecompressInputCheck(in) != ICERR_OK)
        return ICERR_BADFORMAT;
    if (stream->biChainHandler != 0)
        return chained.AskDecompressor(stream->biChainHandler, ICM_DECOMPRESS_GET_FORMAT,
                                       ChainedPart(in, *stream), out) == ICERR_BADFORMAT
                   ? ICERR_BADFORMAT
                   : ICERR_OK;
    // The host may hand over an uninitialised buffer: only a readable header says what it wants.
    PixelKind wanted = KindOf(out);
    BitmapHeader result;
    CompleteRawOutputFormat(*stream, wanted, result);
    std::memcpy(out, &result, sizeof result);
    return ICERR_OK;
}

} // namespace kestro
