// The pure parsers and planners, one per value of the first byte: frame records (parse, and
// write then parse), stream formats and picture sizes, piece and settings names, read-ahead
// planning, raw conversion planning and the conversion itself, and (0xFF) take files. Each result
// is checked against what its function promises: round trips, every offset and size inside the
// buffer it names, wide arithmetic where the function computes narrow.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "AviRecords.h"
#include "ConversionOracle.h"
#include "FuzzSupport.h"
#include "Pieces.h"
#include "pure/FrameRecord.h"
#include "pure/PixelFormats.h"
#include "pure/PixelRepack.h"
#include "pure/RawConvert.h"
#include "pure/ReadPlan.h"
#include "pure/SettingsText.h"
#include "pure/StreamFormat.h"
#include "pure/TakeFile.h"

using namespace kestro;
using fuzz::Reader;

namespace {

using u128 = unsigned __int128;

uint64_t Magnitude(int32_t v) {
    return v < 0 ? uint64_t(-int64_t(v)) : uint64_t(v);
}

std::string Upper(std::string_view s) {
    std::string out(s);
    for (auto& c : out)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return out;
}

bool HasPieceSuffix(std::string_view p) {
    return p.size() >= 4 && p[p.size() - 4] == '.' && p[p.size() - 3] >= '0' &&
           p[p.size() - 3] <= '4' && std::isdigit(uint8_t(p[p.size() - 2])) &&
           std::isdigit(uint8_t(p[p.size() - 1]));
}

void CheckPiecePath(std::string_view path) {
    const bool piece = IsPiecePath(path);
    FUZZ_CHECK(!piece || HasPieceSuffix(path), path);
    FUZZ_CHECK(piece == IsPiecePath(Upper(path)), "letter case decides: " + std::string(path));
}

// A record exactly as long as the input: any read past `available` is a heap overflow.
void ParseRecord(Reader& in) {
    const std::vector<uint8_t> bytes = in.Rest();
    auto view = ParseFrameRecord(bytes.data(), bytes.size());
    (void)RecordLimit(uint32_t(bytes.size()));
    if (!view) {
        const size_t end =
            std::min<size_t>(bytes.size(), kFrameRecordFixedBytes + kMaxRecordPath + 1);
        bool terminated = false;
        for (size_t i = kFrameRecordFixedBytes + 1; i < end && !terminated; ++i)
            terminated = bytes[i] == 0;
        FUZZ_CHECK(bytes.size() <= kFrameRecordFixedBytes || bytes[kFrameRecordFixedBytes] == 0 ||
                       !terminated,
                   "a terminated record refused");
        return;
    }
    const auto* path = reinterpret_cast<const uint8_t*>(view->path.data());
    FUZZ_CHECK(path == bytes.data() + kFrameRecordFixedBytes, "path not at its place");
    FUZZ_CHECK(!view->path.empty() && view->path.size() <= kMaxRecordPath, "path length");
    FUZZ_CHECK(kFrameRecordFixedBytes + view->path.size() < bytes.size() &&
                   path[view->path.size()] == 0,
               "path not terminated inside the record");
    FUZZ_CHECK(view->path.find('\0') == std::string_view::npos, "zero inside the path");
    uint64_t offset = 0;
    uint32_t size = 0;
    std::memcpy(&offset, bytes.data(), 8);
    std::memcpy(&size, bytes.data() + 8, 4);
    FUZZ_CHECK(view->offset == offset && view->size == size, "fields");
    // Written back, it is the same record; one byte less room and it is refused.
    const size_t length = FrameRecordBytes(view->path.size());
    std::vector<uint8_t> again(bytes.begin(), bytes.begin() + long(length));
    std::vector<uint8_t> wrote(again);
    std::fill(wrote.begin(), wrote.begin() + 16, 0);
    std::fill(wrote.begin() + 16, wrote.end(), 0xAA);
    FUZZ_CHECK(WriteFrameRecord(wrote.data(), wrote.size(), view->offset, view->size, view->take,
                                view->path),
               "a parsed record cannot be written");
    FUZZ_CHECK(wrote == again, "parse then write changed the record");
    FUZZ_CHECK(!WriteFrameRecord(wrote.data(), wrote.size() - 1, 0, 0, 0, view->path), "too small");
    CheckPiecePath(view->path);
}

void WriteRecord(Reader& in) {
    const uint64_t offset = in.U64();
    const uint32_t size = in.U32();
    const uint32_t take = in.U32();
    const size_t capacity = in.U16() % 600;
    const std::string name = in.Text(600);
    std::vector<uint8_t> buffer(capacity, 0x5A);
    const bool wrote = WriteFrameRecord(buffer.data(), buffer.size(), offset, size, take, name);
    FUZZ_CHECK(wrote == (capacity >= FrameRecordBytes(name.size())), "capacity rule");
    if (!wrote)
        return;
    auto view = ParseFrameRecord(buffer.data(), buffer.size());
    const std::string_view expect(name.c_str()); // up to a zero inside the name
    if (expect.empty() || expect.size() > kMaxRecordPath) {
        FUZZ_CHECK(!view, "an unreadable name read back");
        return;
    }
    FUZZ_CHECK(view && view->offset == offset && view->size == size && view->take == take &&
                   view->path == expect,
               "write then parse is not the identity");
    CheckPiecePath(view->path);
}

// `valid`: the arguments describe a picture; then a size far from the 32-bit limit is given, and
// whatever is given is exact.
void CheckSize(std::optional<uint32_t> got, u128 exact, bool valid, bool mayGive,
               const char* what) {
    if (got)
        FUZZ_CHECK((valid || mayGive) && u128(*got) == exact, what);
    else
        FUZZ_CHECK(!valid || exact > UINT32_MAX / 2, std::string(what) + " refused");
}

// The kinds a stream format can name, in the order of the table, and KIND_NONE before them for
// an output the host left open.
struct RecognisedKinds {
    PixelKind kinds[std::size(kPixelFormats) + 1] = {KIND_NONE};
    size_t count = 1;
    constexpr RecognisedKinds() {
        for (const PixelFormat& f : kPixelFormats)
            if (f.recognised)
                kinds[count++] = f.kind;
    }
};
constexpr RecognisedKinds kRecognised;

void StreamFormats(Reader& in) {
    std::vector<uint8_t> bytes = in.Rest();
    if (bytes.size() < kStreamHeaderBytes)
        return; // every caller hands over at least the 52 bytes it has checked
    auto bitmap = ReadBitmapHeader(bytes.data());
    auto stream = ReadStreamFormat(bytes.data());
    uint32_t biSize;
    std::memcpy(&biSize, bytes.data(), 4);
    FUZZ_CHECK(bitmap.has_value() == (biSize >= kBitmapHeaderBytes), "bitmap size rule");
    if (bitmap)
        FUZZ_CHECK(std::memcmp(&*bitmap, bytes.data(), sizeof *bitmap) == 0, "bitmap fields");
    if (stream) {
        FUZZ_CHECK(std::memcmp(&*stream, bytes.data(), sizeof *stream) == 0, "stream fields");
        FUZZ_CHECK(stream->biSize >= kStreamHeaderBytes &&
                       stream->biChainFormatSize <= stream->biSize - kStreamHeaderBytes,
                   "a chained format beyond biSize accepted");
        const void* chain = ChainFormatOf(bytes.data(), *stream);
        FUZZ_CHECK((chain == nullptr) == (stream->biChainFormatSize == 0), "chain pointer");
        if (chain && stream->biSize <= bytes.size()) {
            uint32_t sum = 0; // inside the bytes the format covers: ASan checks every one
            for (uint32_t i = 0; i < stream->biChainFormatSize; ++i)
                sum += static_cast<const uint8_t*>(chain)[i];
            (void)sum;
        }
    }
    if (!bitmap)
        return;
    const BitmapHeader& h = *bitmap;
    const u128 w = Magnitude(h.biWidth), rows = Magnitude(h.biHeight);
    CheckSize(PictureBytes(h.biWidth, h.biHeight, h.biBitCount), w * rows * h.biBitCount / 8,
              w && rows && h.biBitCount, w && rows, "PictureBytes");
    const bool dibPossible = h.biWidth > 0 && rows && h.biBitCount >= 1 && h.biBitCount <= 32;
    const u128 dib = (w * h.biBitCount + 31) / 32 * 4 * rows;
    CheckSize(DibImageBytes(h.biWidth, h.biHeight, h.biBitCount), dib, dibPossible, false,
              "DibImageBytes");
    if (auto image = InputImageBytes(h))
        FUZZ_CHECK(h.biWidth > 0 && rows && (h.biSizeImage ? *image == h.biSizeImage : true),
                   "InputImageBytes");
    if (auto largest = LargestFrameBytes(h)) {
        const PixelKind kind = KindOf(h);
        const u128 factor = (kind == KIND_RGB24 || kind == KIND_RGB32) ? 5 : 3;
        FUZZ_CHECK(h.biWidth > 0 && *largest >= 0 && u128(*largest) == w * rows * factor,
                   "LargestFrameBytes");
    }
    // A stream format made for this input reads back as made.
    StreamFormatHeader made = MakeStreamFormat(h);
    auto back = ReadStreamFormat(&made);
    FUZZ_CHECK(back && std::memcmp(&*back, &made, sizeof made) == 0, "made format does not read");
    FUZZ_CHECK(made.biSourceCompression == h.biCompression && made.biChainFormatSize == 0,
               "made format fields");
    for (size_t i = 0; i < kRecognised.count; ++i) {
        const PixelKind wanted = kRecognised.kinds[i];
        BitmapHeader out{};
        if (!CompleteRawOutputFormat(made, wanted, out))
            continue;
        FUZZ_CHECK(out.biSize == kBitmapHeaderBytes && out.biWidth == made.biWidth &&
                       out.biHeight == made.biHeight,
                   "completed output format");
        auto bytes = PictureBytes(out.biWidth, out.biHeight, out.biBitCount);
        FUZZ_CHECK(out.biSizeImage == (bytes ? *bytes : 0), "completed output size");
    }
}

void Names(Reader& in) {
    const std::string base = in.Text(300);
    const std::string other = in.Text(300);
    const int index = int(in.U16() % 1000);
    const std::string piece = FormatPieceName(base, index);
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, ".%03d", index);
    FUZZ_CHECK(piece == base + suffix, "piece name");
    if (index >= 500)
        FUZZ_CHECK(!IsPiecePath(piece), "piece beyond 499 accepted");
    CheckPiecePath(piece);
    CheckPiecePath(base);
    const auto relinked = avi::RelinkedPieceName(piece, other);
    const std::string expect = FormatPieceName(other, index);
    const bool fits =
        !other.empty() && expect.size() <= kMaxRecordPath && expect.find('\0') == std::string::npos;
    FUZZ_CHECK(relinked.has_value() == fits && (!fits || *relinked == expect), "relinked name");
    if (auto again = avi::RelinkedPieceName(base, other))
        FUZZ_CHECK(again->size() == other.size() + 4 && again->compare(0, other.size(), other) == 0,
                   "relinked name keeps the suffix only");
    const std::string drive = DriveOf(base);
    FUZZ_CHECK(drive.empty() ||
                   (drive.size() == 2 && base.compare(0, 2, drive) == 0 && drive[1] == ':'),
               "drive");
    const std::string profile = ProfilePathForModule(base);
    const std::string tail = "\\kestdisk.ini";
    FUZZ_CHECK(profile.size() >= tail.size() &&
                   profile.compare(profile.size() - tail.size(), tail.size(), tail) == 0,
               "profile name");
    const size_t cut = base.find_last_of("\\/");
    if (cut != std::string::npos)
        FUZZ_CHECK(profile.compare(0, cut + 1, base, 0, cut + 1) == 0, "profile folder");
    if (auto split = tool::SplitWindowsPath(base)) {
        FUZZ_CHECK(!split->parts.empty(), "no parts");
        for (const auto& part : split->parts)
            FUZZ_CHECK(!part.empty() && part != "." && part != ".." &&
                           part.find_first_of("\\/") == std::string::npos,
                       "path part " + part);
        FUZZ_CHECK(split->drive.empty() || (split->drive.size() == 2 && split->drive[1] == ':' &&
                                            !std::isupper(uint8_t(split->drive[0]))),
                   "drive part " + split->drive);
    }
}

void ReadPlans(Reader& in) {
    const uint32_t page = 1u << (9 + in.U8() % 8);
    const uint64_t position = in.U64() >> 2;
    const uint32_t rounded = in.U32();
    const uint64_t fileSize = in.U64() >> 2;
    const uint32_t slot = in.U32();
    const bool extra = in.U8() & 1;
    const uint32_t transferred = in.U32();

    const uint32_t start = ContinuationStart(transferred, page);
    FUZZ_CHECK(start <= transferred && start % page == 0 && transferred - start < page,
               "continuation");
    if (auto s = SlotBytes(rounded, page))
        FUZZ_CHECK(*s >= rounded && *s % page == 0 && *s - rounded < page, "slot");
    else
        FUZZ_CHECK(rounded == 0 || RoundUpToPage(rounded, page) > UINT32_MAX, "slot refused");

    auto raw = PlanRawReadAhead(position, rounded, fileSize);
    FUZZ_CHECK(raw.position == position + rounded, "raw position");
    if (raw.issue)
        FUZZ_CHECK(raw.length == rounded && rounded && raw.position + raw.length <= fileSize,
                   "raw read-ahead past the end of the file");

    // The chained reader's plan, under its callers' terms: page-aligned positions, sizes and slot.
    if (position % page || rounded % page || slot % page || slot < rounded)
        return;
    auto plan = PlanChainedReadAhead(position, rounded, fileSize, page, slot, extra);
    FUZZ_CHECK(plan.position == position + rounded, "chained position");
    if (!plan.issue)
        return;
    FUZZ_CHECK(plan.length > 0 && plan.length <= slot && plan.length % page == 0,
               "chained length " + std::to_string(plan.length));
    FUZZ_CHECK(plan.position < fileSize &&
                   plan.position + plan.length <= RoundUpToPage(fileSize, page),
               "chained read-ahead past the end of the file");
    FUZZ_CHECK(plan.length <= uint64_t(rounded) + (extra ? 2ull * page : 0), "more than asked");
}

// `size` bytes at `offset` past a 64-byte boundary, and not one byte more: the kernels take their
// paths by the buffers' alignment, which must come from the input, not from wherever the heap put
// a block (it differs from run to run), and a read or write past the end is a heap overflow.
class PlacedBytes {
public:
    PlacedBytes(size_t size, size_t offset, uint8_t fill) : size_(size) {
        void* block = nullptr;
        FUZZ_CHECK(posix_memalign(&block, 64, offset + size) == 0, "out of memory");
        block_ = static_cast<uint8_t*>(block);
        std::memset(block_, fill, offset + size);
        data_ = block_ + offset;
    }
    ~PlacedBytes() { std::free(block_); }
    PlacedBytes(const PlacedBytes&) = delete;
    PlacedBytes& operator=(const PlacedBytes&) = delete;
    uint8_t* data() const { return data_; }
    std::vector<uint8_t> Copy() const { return {data_, data_ + size_}; }

private:
    uint8_t* block_;
    uint8_t* data_;
    size_t size_;
};

// The offsets from a 64-byte boundary a conversion's buffers are placed at, by two bits each.
constexpr size_t kPlacements[] = {0, 1, 8, 35};

void RawConversions(Reader& in) {
    const uint8_t mode = in.U8();
    const PixelKind source = kRecognised.kinds[1 + in.U8() % (kRecognised.count - 1)];
    const PixelKind output = kRecognised.kinds[in.U8() % kRecognised.count];
    const bool padded = mode & 1;
    int32_t width, streamHeight, outputHeight;
    if (mode & 2) { // any numbers
        width = int32_t(in.U32());
        streamHeight = int32_t(in.U32());
        outputHeight = (mode & 4)   ? int32_t(in.U32())
                       : (mode & 8) ? int32_t(0u - uint32_t(streamHeight))
                                    : streamHeight;
    } else { // pictures small enough to convert here
        width = int32_t(in.U16() % 300) - 2;
        streamHeight = int32_t(in.U8() % 40) - 20;
        outputHeight = (mode & 4)   ? int32_t(in.U8() % 40) - 20
                       : (mode & 8) ? -streamHeight
                                    : streamHeight;
    }
    auto plan = PlanRawConversion(source, streamHeight, output, outputHeight, width, padded);
    const RawOp op = ChooseRawOp(source, output);
    // Kinds stored without the bitmap rows' padding keep their rows as they came, and those
    // whose two pixels share a chroma pair cannot have an odd width.
    const PixelFormat* sourceFormat = FormatOf(source);
    const bool unpadded = sourceFormat && !sourceFormat->dibRows;
    const bool pairs = unpadded && sourceFormat->pairedPixels;
    // A planar kind also needs whole 2x2 blocks, and played as itself is its planes as stored.
    const bool planar = sourceFormat && sourceFormat->layout == Layout::Planar;
    const bool planarCopy = planar && op == RawOp::Copy;
    if (!plan) {
        const u128 rows = Magnitude(outputHeight);
        const u128 bits = u128(oracle::RowBytes(source, uint32_t(width))) * 8;
        const u128 src = unpadded ? bits / 8 : (bits + 31) / 32 * 4;
        FUZZ_CHECK(op == RawOp::Refuse || width <= 0 || rows == 0 || (pairs && width % 2) ||
                       (planar && sourceFormat->planes.shiftY && streamHeight % 2) ||
                       rows != Magnitude(streamHeight) || src * rows > UINT32_MAX / 2 ||
                       u128(oracle::RowBytes(output, uint32_t(width))) * rows > UINT32_MAX / 2,
                   "a small conversion refused");
        return;
    }
    const RawConversion& c = *plan;
    const uint64_t srcRow = oracle::RowBytes(source, c.width);
    FUZZ_CHECK(c.op == op && op != RawOp::Refuse && width > 0 && c.width == uint32_t(width),
               "plan op");
    FUZZ_CHECK(c.rows == Magnitude(outputHeight) && c.rows == Magnitude(streamHeight), "rows");
    FUZZ_CHECK(unpadded ? c.srcStride == srcRow
                        : c.srcStride >= srcRow && c.srcStride % 4 == 0 && c.srcStride - srcRow < 4,
               "stored stride " + std::to_string(c.srcStride) + " for rows of " +
                   std::to_string(srcRow));
    FUZZ_CHECK(c.dstRowBytes == oracle::RowBytes(output, c.width), "output row bytes");
    FUZZ_CHECK(padded && !planarCopy ? (c.dstStride >= c.dstRowBytes && c.dstStride % 4 == 0 &&
                                        c.dstStride - c.dstRowBytes < 4)
                                     : c.dstStride == c.dstRowBytes,
               "output stride");
    const uint64_t storedPicture = planar ? PictureBytesOf(*sourceFormat, width, streamHeight)
                                          : uint64_t(c.srcStride) * c.rows;
    FUZZ_CHECK(uint64_t(c.storedBytes) == storedPicture &&
                   uint64_t(c.outputBytes) ==
                       (planarCopy ? storedPicture : uint64_t(c.dstStride) * c.rows),
               "picture bytes");
    FUZZ_CHECK(c.reverseRows ==
                   (TopRowFirst(source, streamHeight) != TopRowFirst(output, outputHeight)),
               "row order");
    if (c.storedBytes > (1u << 20) || c.outputBytes > (1u << 20))
        return;

    // Converted in buffers exactly as large as the plan says, at every kernel level, against the
    // oracle; the row padding, which a straight copy takes from the stored rows, the same at
    // every level. The mode's high bits place the buffers.
    const PlacedBytes stored(c.storedBytes, kPlacements[(mode >> 4) & 3], 0);
    const std::vector<uint8_t> fill = in.Rest();
    for (size_t i = 0; i < c.storedBytes; ++i)
        stored.data()[i] = fill.empty() ? uint8_t(i * 7) : fill[i % fill.size()];
    const oracle::Request request{source, streamHeight, output, outputHeight, width, padded};
    const KernelLevel best = BestKernelLevel();
    std::vector<uint8_t> first;
    for (KernelLevel level : {KernelLevel::Scalar, KernelLevel::Sse2, KernelLevel::Ssse3,
                              KernelLevel::Avx2, KernelLevel::Avx512}) {
        if (level > best)
            break;
        SetKernelLevel(level);
        const PlacedBytes out(c.outputBytes, kPlacements[(mode >> 6) & 3], 0xEE);
        ApplyRawConversion(c, stored.data(), out.data());
        const std::string difference = oracle::Difference(request, c, stored.data(), out.data());
        FUZZ_CHECK(difference.empty(), difference + " at level " + std::to_string(int(level)));
        if (first.empty())
            first = out.Copy();
        FUZZ_CHECK(out.Copy() == first,
                   "row padding differs at level " + std::to_string(int(level)));
    }
    SetKernelLevel(best);
}

// A take file read from anything: what reads is written back to text that reads as the same take.
void TakeFiles(Reader& in) {
    const std::vector<uint8_t> bytes = in.Rest();
    const TakeFileRead read =
        ParseTakeFile(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    FUZZ_CHECK(read.take.has_value() != !read.damage.empty(), "neither a take nor a damaged one");
    const auto& take = read.take;
    if (!take)
        return;
    FUZZ_CHECK(take->id != 0, "a take of identity 0");
    FUZZ_CHECK(take->inputFormat.size() <= kMaxTakeFormatBytes &&
                   take->streamFormat.size() <= kMaxTakeFormatBytes,
               "a format longer than a take file keeps");
    FUZZ_CHECK(take->replaced.size() <= kMaxEarlierTakes, "more earlier takes than a file keeps");
    auto again = ParseTakeFile(FormatTakeFile(*take)).take;
    FUZZ_CHECK(again && again->id == take->id && again->started == take->started &&
                   again->pieceBytes == take->pieceBytes &&
                   again->inputFormat == take->inputFormat &&
                   again->streamFormat == take->streamFormat && again->frames == take->frames &&
                   again->ended == take->ended && again->replaced == take->replaced,
               "a take file written back reads as another take");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    // The first byte's value 0xFF came last: the inputs kept before it keep their meaning.
    const uint8_t op = in.U8();
    if (op == 0xFF) {
        TakeFiles(in);
        return 0;
    }
    switch (op % 6) {
    case 0:
        ParseRecord(in);
        break;
    case 1:
        WriteRecord(in);
        break;
    case 2:
        StreamFormats(in);
        break;
    case 3:
        Names(in);
        break;
    case 4:
        ReadPlans(in);
        break;
    case 5:
        RawConversions(in);
        break;
    }
    return 0;
}
