#include <windows.h>
#include <vfw.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <map>
#include <vector>

#include "Host.h"
#include "HostWin.h"
#include "RawPictures.h"
#include "pure/FrameRecord.h"
#include "pure/StreamFormat.h"

namespace host {

namespace {

class AviReader {
public:
    ~AviReader() {
        if (stream_)
            AVIStreamRelease(stream_);
        if (file_)
            AVIFileRelease(file_);
    }

    bool Open(const std::string& path) {
        if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
            Error(path + " does not exist");
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

    // Reads sample `frame` into `data`; false (after a message) on failure.
    bool Read(LONG frame, std::vector<uint8_t>& data) {
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

    PAVISTREAM stream() const { return stream_; }
    const AVISTREAMINFOA& info() const { return info_; }
    const std::vector<uint8_t>& format() const { return format_; }
    LONG Start() const { return AVIStreamStart(stream_); }
    LONG Length() const { return AVIStreamLength(stream_); }

private:
    PAVIFILE file_ = nullptr;
    PAVISTREAM stream_ = nullptr;
    AVISTREAMINFOA info_{};
    std::vector<uint8_t> format_;
};

std::string StoredKindName(const kestro::StreamFormatHeader& h) {
    switch (kestro::ClassifyPixelKind(h.biSourceCompression, h.biBitCount)) {
    case kestro::KIND_YUY2:
        return "yuy2";
    case kestro::KIND_UYVY:
        return "uyvy";
    case kestro::KIND_RGB24:
        return "rgb24";
    case kestro::KIND_RGB32:
        return "rgb32";
    default:
        return FourccText(h.biSourceCompression);
    }
}

// Whether a record's bytes are on disk: its piece exists and holds them. Piece sizes are cached.
class ReferenceChecker {
public:
    // Empty when intact, else why not.
    std::string Problem(const kestro::FrameRecordView& r) {
        const std::string piece(r.path);
        auto known = sizes_.find(piece);
        if (known == sizes_.end()) {
            WIN32_FILE_ATTRIBUTE_DATA data{};
            int64_t bytes = -1;
            if (GetFileAttributesExA(piece.c_str(), GetFileExInfoStandard, &data) &&
                !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                bytes = int64_t(uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow);
            known = sizes_.emplace(piece, bytes).first;
        }
        if (known->second < 0)
            return "its piece " + piece + " does not exist";
        if (r.offset + r.size > uint64_t(known->second))
            return "bytes " + std::to_string(r.offset) + " to " +
                   std::to_string(r.offset + r.size) + " lie beyond the end of " + piece + " (" +
                   std::to_string(known->second) + " bytes)";
        return {};
    }
    const std::map<std::string, int64_t>& Pieces() const { return sizes_; }

private:
    std::map<std::string, int64_t> sizes_; // -1: missing
};

// The stream format, checked for what both play and inspect rely on.
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
    return header;
}

class Output {
public:
    ~Output() {
        if (file_ && file_ != stdout)
            std::fclose(file_);
    }
    bool Open(const std::string& path) {
        if (path.empty())
            return true;
        if (path == "-") {
            _setmode(_fileno(stdout), _O_BINARY);
            file_ = stdout;
        } else {
            file_ = std::fopen(path.c_str(), "wb");
        }
        if (!file_)
            Error("cannot create " + path);
        return file_ != nullptr;
    }
    bool Write(const uint8_t* data, size_t bytes) {
        if (!file_)
            return true;
        if (std::fwrite(data, 1, bytes, file_) != bytes) {
            Error("writing the decoded frames failed (disk full or closed pipe)");
            return false;
        }
        return true;
    }
    bool Close() {
        bool ok = true;
        if (file_ && file_ != stdout)
            ok = std::fclose(file_) == 0;
        else if (file_)
            ok = std::fflush(file_) == 0;
        file_ = nullptr;
        return ok;
    }

private:
    FILE* file_ = nullptr;
};

// A path as a command line takes it: quoted when the shell would split or interpret it.
std::string ShellArgument(const std::string& path) {
    return path.find_first_of(" \t&()^;,=%!'\"") == std::string::npos ? path : "\"" + path + "\"";
}

// The command that turns the capture into a standard file on Windows: the pictures through the
// pipe, the sound (if any) straight from the capture AVI.
std::string ExportCommand(const std::string& path, const kestro::StreamFormatHeader& h,
                          const AVISTREAMINFOA& info) {
    if (h.biChainHandler)
        return "none through the pipe: the frames are " + FourccText(h.biChainHandler) +
               " packets, not raw pictures (kestro export copies them into .avi or .mkv)";
    std::string why;
    auto picture = kestro::avi::RawPictureOf(h, why);
    if (!picture)
        return "not possible: " + why;
    const size_t n = path.size();
    const bool avi = n >= 4 && lstrcmpiA(path.c_str() + n - 4, ".avi") == 0;
    const std::string mkv = path.substr(0, avi ? n - 4 : n) + ".mkv";
    return "kestro-host export " + ShellArgument(path) + " - | ffmpeg -f rawvideo -pix_fmt " +
           kestro::avi::PixFmtName(picture->kind) + " -s " + std::to_string(picture->width) + "x" +
           std::to_string(picture->height) + " -r " +
           std::to_string(info.dwRate ? info.dwRate : 1) + "/" +
           std::to_string(info.dwScale ? info.dwScale : 1) + " -i - -i " + ShellArgument(path) +
           " -map 0:v -map 1:a? -c:a copy " + ShellArgument(mkv);
}

} // namespace

int RunPlay(const PlayOptions& options, PlayResult* result) {
    PlayResult local;
    PlayResult& out = result ? *result : local;
    out = {};
    AviLibrary aviLibrary;
    AviReader avi;
    if (!avi.Open(options.input))
        return kExitUsage;
    auto stream = StreamFormatOf(options.input, avi.format());
    if (!stream)
        return kExitUsage;
    const FrameSize size{uint32_t(std::abs(stream->biWidth)), uint32_t(std::abs(stream->biHeight))};
    const uint32_t bpp = BitsPerPixel(options.as) / 8;
    const uint64_t pictureBytes = RawFrameBytes(options.as, size);
    const bool rgb = options.as == RawKind::Rgb24 || options.as == RawKind::Rgb32;

    BITMAPINFOHEADER want{};
    want.biSize = sizeof want;
    want.biWidth = stream->biWidth;
    want.biHeight = stream->biHeight;
    want.biPlanes = 1;
    want.biBitCount = WORD(BitsPerPixel(options.as));
    want.biCompression = FourccOf(options.as);
    // A standard bitmap: RGB rows padded to four bytes, as players lay them out; the padding is
    // dropped below.
    const uint64_t bitmapBytes = DibFrameBytes(options.as, size);
    const uint64_t bitmapStride = rgb ? bitmapBytes / size.height : uint64_t(size.width) * bpp;
    want.biSizeImage = DWORD(bitmapBytes);

    const LONG start = avi.Start(), length = avi.Length();
    const LONG first = LONG(std::min<int64_t>(std::max<int64_t>(options.first, 0), length)) + start;
    const LONG end = options.count < 0
                         ? start + length
                         : LONG(std::min<int64_t>(first + options.count, start + length));
    if (options.first >= length && length > 0) {
        Error(options.input + " has " + std::to_string(length) + " frames; frame " +
              std::to_string(options.first) + " does not exist");
        return kExitUsage;
    }

    Output raw;
    if (!raw.Open(options.rawOutput))
        return kExitUsage;

    CodecHandle hic;
    PGETFRAME getFrame = nullptr;
    std::vector<uint8_t> inFormat = avi.format();
    auto* inHeader = reinterpret_cast<BITMAPINFOHEADER*>(inFormat.data());
    if (options.getFrame) {
        getFrame = AVIStreamGetFrameOpen(avi.stream(), &want);
        if (!getFrame) {
            Error("avifil32 found no decompressor delivering " +
                  std::string(RawKindName(options.as)) + " for this stream (stored " +
                  StoredKindName(*stream) + "): is vidc.KEST registered?");
            return kExitCodec;
        }
    } else {
        hic.Reset(OpenCodec(ICMODE_DECOMPRESS));
        if (!hic)
            return kExitCodec;
        LRESULT status = ICDecompressQuery(hic.get(), inHeader, &want);
        if (status != ICERR_OK) {
            Error("the codec cannot deliver " + std::string(RawKindName(options.as)) +
                  " from this stream (stored " + StoredKindName(*stream) + ")");
            return kExitCodec;
        }
        status = ICDecompressBegin(hic.get(), inHeader, &want);
        if (status != ICERR_OK) {
            Error("the codec cannot start playback (" + IcErrorText(status) + ")");
            return kExitCodec;
        }
    }

    PageBuffer picture{size_t(PageRounded(bitmapBytes))};
    std::vector<uint8_t> topDown(static_cast<size_t>(pictureBytes)), bgr;
    std::vector<uint8_t> record;
    ReferenceChecker checker;
    int exitCode = kExitOk;
    const double t0 = Seconds();
    for (LONG frame = first; frame < end; ++frame) {
        const uint8_t* bits = picture.data();
        uint64_t stride = bitmapStride;
        bool bottomUp = want.biHeight > 0; // a top-down stream is played as a top-down bitmap
        if (getFrame) {
            auto* dib = static_cast<BITMAPINFOHEADER*>(AVIStreamGetFrame(getFrame, frame));
            if (!dib) {
                Error("avifil32 could not decode frame " + std::to_string(frame) +
                      " (run \"kestro-host verify\" to check its data file reference)");
                exitCode = kExitBroken;
                break;
            }
            if (dib->biCompression != want.biCompression || dib->biBitCount != want.biBitCount) {
                Error("avifil32 delivered " + FourccText(dib->biCompression) + "/" +
                      std::to_string(dib->biBitCount) + " instead of the asked-for " +
                      RawKindName(options.as));
                exitCode = kExitBroken;
                break;
            }
            bits = reinterpret_cast<const uint8_t*>(dib) + dib->biSize + dib->biClrUsed * 4;
            stride =
                rgb && dib->biSizeImage == pictureBytes ? uint64_t(size.width) * bpp : bitmapStride;
            bottomUp = dib->biHeight > 0;
        } else {
            if (!avi.Read(frame, record)) {
                exitCode = kExitBroken;
                break;
            }
            // The codec shows a frame whose piece cannot be opened as a blank picture.
            auto parsed = kestro::ParseFrameRecord(record.data(), record.size());
            const std::string problem =
                parsed ? checker.Problem(*parsed) : std::string("it holds no frame record");
            if (!problem.empty()) {
                Error("frame " + std::to_string(frame) + " cannot be played: " + problem);
                exitCode = kExitBroken;
                break;
            }
            inHeader->biSizeImage = DWORD(record.size());
            LRESULT status =
                ICDecompress(hic.get(), 0, inHeader, record.data(), &want, picture.data());
            if (status != ICERR_OK) {
                std::string where;
                if (auto r = kestro::ParseFrameRecord(record.data(), record.size()))
                    where =
                        " from " + std::string(r->path) + " at offset " + std::to_string(r->offset);
                Error("the codec could not decode frame " + std::to_string(frame) + where + " (" +
                      IcErrorText(status) + "); \"kestro-host verify\" checks every reference");
                exitCode = kExitBroken;
                break;
            }
        }
        // Raw RGB files and stills are top row first, unpadded.
        const uint8_t* ordered = bits;
        if (rgb) {
            for (uint32_t y = 0; y < size.height; ++y)
                std::memcpy(topDown.data() + uint64_t(y) * size.width * bpp,
                            bits + uint64_t(bottomUp ? size.height - 1 - y : y) * stride,
                            size_t(size.width) * bpp);
            ordered = topDown.data();
        }
        if (!raw.Write(ordered, size_t(pictureBytes))) {
            exitCode = kExitPartial;
            break;
        }
        if (!options.stills.empty()) {
            const uint8_t* source = ordered;
            uint32_t pixelBytes = bpp;
            if (!rgb) {
                bgr.resize(size_t(size.width) * size.height * 3);
                ReferenceYuvToRgb(ordered, bgr.data(), size, options.as == RawKind::Uyvy, 3, false);
                source = bgr.data();
                pixelBytes = 3;
            }
            const std::vector<uint8_t> ppm = MakePpm(source, size, pixelBytes);
            const bool single = end - first == 1 && options.stills.find('%') == std::string::npos;
            const std::string name =
                single ? options.stills : FrameFileName(options.stills, uint32_t(frame));
            FILE* f = std::fopen(name.c_str(), "wb");
            if (!f || std::fwrite(ppm.data(), 1, ppm.size(), f) != ppm.size()) {
                if (f)
                    std::fclose(f);
                Error("cannot write " + name);
                exitCode = kExitPartial;
                break;
            }
            std::fclose(f);
        }
        ++out.frames;
        out.bytes += pictureBytes;
    }
    out.seconds = Seconds() - t0;
    if (getFrame)
        AVIStreamGetFrameClose(getFrame);
    if (hic)
        ICDecompressEnd(hic.get());
    if (!raw.Close() && exitCode == kExitOk) {
        Error("writing the decoded frames failed");
        exitCode = kExitPartial;
    }
    if (!options.quiet) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "played %llu frames as %s (%.1f MB) in %.2f s: %.1f MB/s, %.1f fps%s",
                      (unsigned long long)out.frames, RawKindName(options.as), out.bytes / 1e6,
                      out.seconds, out.seconds > 0 ? out.bytes / out.seconds / 1e6 : 0.0,
                      out.seconds > 0 ? out.frames / out.seconds : 0.0,
                      getFrame ? " through AVIStreamGetFrame" : " through ICDecompress");
        Note(line);
    }
    return exitCode;
}

int RunInspect(const std::string& path, bool verify, bool listFrames) {
    AviLibrary aviLibrary;
    AviReader avi;
    if (!avi.Open(path))
        return kExitUsage;
    const AVISTREAMINFOA& info = avi.info();
    auto stream = StreamFormatOf(path, avi.format());
    if (!stream)
        return verify ? kExitBroken : kExitUsage;
    const auto& h = *stream;
    const LONG start = avi.Start(), length = avi.Length();
    if (!verify) {
        std::printf("%s\n", path.c_str());
        std::printf("stream   handler %s, %lu/%lu frames per second, %ld frames from %ld\n",
                    FourccText(info.fccHandler).c_str(), (unsigned long)info.dwRate,
                    (unsigned long)info.dwScale, long(length), long(start));
        std::printf("format   %zu bytes\n", avi.format().size());
        std::printf("  biSize               %lu\n", (unsigned long)h.biSize);
        std::printf("  biWidth x biHeight   %ld x %ld\n", long(h.biWidth), long(h.biHeight));
        std::printf("  biPlanes             %u\n", unsigned(h.biPlanes));
        std::printf("  biBitCount           %u\n", unsigned(h.biBitCount));
        std::printf("  biCompression        %s\n", FourccText(h.biCompression).c_str());
        std::printf("  biSizeImage          %lu\n", (unsigned long)h.biSizeImage);
        std::printf("  biXPelsPerMeter      %ld\n", long(h.biXPelsPerMeter));
        std::printf("  biYPelsPerMeter      %ld\n", long(h.biYPelsPerMeter));
        std::printf("  biClrUsed            %lu\n", (unsigned long)h.biClrUsed);
        std::printf("  biClrImportant       %lu\n", (unsigned long)h.biClrImportant);
        std::printf("  biSourceCompression  %s (stored %s)\n",
                    FourccText(h.biSourceCompression).c_str(), StoredKindName(h).c_str());
        std::printf("  biChainHandler       %s\n",
                    h.biChainHandler ? FourccText(h.biChainHandler).c_str() : "0 (none)");
        std::printf("  biChainFormatSize    %lu\n", (unsigned long)h.biChainFormatSize);
        std::printf("export   %s\n", ExportCommand(path, h, info).c_str());
        if (listFrames)
            std::printf("frame     offset        size  piece\n");
    }

    // Raw storage: every frame is one whole picture of the source kind.
    const bool raw = h.biChainHandler == 0;
    ReferenceChecker checker;
    uint64_t problems = 0, referenced = 0;
    auto problem = [&](LONG frame, const std::string& text) {
        if (++problems <= 20)
            std::fprintf(stderr, "kestro-host: broken reference: frame %ld: %s\n", long(frame),
                         text.c_str());
    };
    std::vector<uint8_t> record;
    for (LONG frame = start; frame < start + length; ++frame) {
        if (!avi.Read(frame, record))
            return kExitBroken;
        auto r = kestro::ParseFrameRecord(record.data(), record.size());
        if (!r) {
            problem(frame, "the " + std::to_string(record.size()) +
                               "-byte sample is not a frame record (no terminated piece name)");
            continue;
        }
        const std::string piece(r->path);
        if (listFrames && !verify)
            std::printf("%5ld %10llu %11lu  %s\n", long(frame), (unsigned long long)r->offset,
                        (unsigned long)r->size, piece.c_str());
        referenced += r->size;
        if (std::string why = checker.Problem(*r); !why.empty()) {
            problem(frame, why);
        } else if (raw && h.biSizeImage && r->size != h.biSizeImage) {
            problem(frame, "it holds " + std::to_string(r->size) + " bytes but the stream's " +
                               "pictures are " + std::to_string(h.biSizeImage) + " bytes");
        }
    }
    if (problems > 20)
        std::fprintf(stderr, "kestro-host: ... and %llu more broken references\n",
                     (unsigned long long)(problems - 20));
    std::string pieceList;
    for (const auto& [name, bytes] : checker.Pieces())
        pieceList += (pieceList.empty() ? "" : ", ") + name;
    if (problems) {
        std::fprintf(stderr, "kestro-host: %s: %llu of %ld frames have broken references\n",
                     path.c_str(), (unsigned long long)problems, long(length));
        return kExitBroken;
    }
    if (verify)
        std::printf("verify: %s: all %ld frames intact, %s in %zu piece(s): %s\n", path.c_str(),
                    long(length), Megabytes(referenced).c_str(), checker.Pieces().size(),
                    pieceList.c_str());
    else
        std::printf("pieces   %s\n", pieceList.empty() ? "(none)" : pieceList.c_str());
    return kExitOk;
}

} // namespace host
