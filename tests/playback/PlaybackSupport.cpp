#include "PlaybackSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

namespace kp {

uint32_t PageSize() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

uint64_t RoundUp(uint64_t n) {
    uint64_t page = PageSize();
    return (n + page - 1) / page * page;
}

std::string TestName() {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (auto& c : name)
        if (c == '/')
            c = '-';
    return name;
}

Bytes Noise(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& b : bytes)
        b = uint8_t(random());
    return bytes;
}

std::vector<Placed> WriteDataFile(const std::string& path, const std::vector<Bytes>& frames,
                                  uint64_t reserved) {
    std::vector<Placed> placed;
    Bytes file;
    for (size_t i = 0; i < frames.size(); ++i) {
        placed.push_back({path, file.size(), uint32_t(frames[i].size())});
        file.insert(file.end(), frames[i].begin(), frames[i].end());
        // Padding holds whatever the writer's buffer held: never zeros a reader could rely on.
        Bytes pad = Noise(RoundUp(file.size()) - file.size(), uint32_t(9000 + i));
        file.insert(file.end(), pad.begin(), pad.end());
    }
    file.resize(file.size() + reserved, 0);
    kt::WriteFileBytes(path, std::string(file.begin(), file.end()));
    return placed;
}

Bytes MakeRecord(uint64_t offset, uint32_t size, const std::string& path) {
    Bytes record(16 + path.size() + 1, 0);
    std::memcpy(record.data(), &offset, 8);
    std::memcpy(record.data() + 8, &size, 4);
    // The take word as builds before takes left it; no take file lies beside these data files.
    std::memcpy(record.data() + 12, "\xA5\xA5\xA5\xA5", 4);
    std::memcpy(record.data() + 16, path.data(), path.size());
    return record;
}

kt::Format RawStream(LONG width, LONG height, DWORD source, WORD bits) {
    kt::Format f;
    f.bytes.assign(52, 0);
    auto* h = f.header();
    h->biSize = 52;
    h->biWidth = width;
    h->biHeight = height;
    h->biPlanes = 1;
    h->biBitCount = bits;
    h->biCompression = kt::kKest;
    h->biSizeImage = 30;
    std::memcpy(f.bytes.data() + 40, &source, 4); // biSourceCompression
    return f;
}

kt::Format ChainedStream(LONG width, LONG height, WORD bits, DWORD handler,
                         const kt::Format& chained) {
    kt::Format f = RawStream(width, height, chained.header()->biCompression, bits);
    uint32_t chainedBytes = uint32_t(chained.bytes.size());
    f.header()->biSize = 52 + chainedBytes;
    std::memcpy(f.bytes.data() + 44, &handler, 4);
    std::memcpy(f.bytes.data() + 48, &chainedBytes, 4);
    f.bytes.insert(f.bytes.end(), chained.bytes.begin(), chained.bytes.end());
    return f;
}

Bytes KtstPicture(LONG width, LONG height, size_t used, uint32_t seed) {
    Bytes picture(size_t(width) * height * 3, 0);
    Bytes noise = Noise(used, seed);
    std::memcpy(picture.data(), noise.data(), used);
    if (used)
        picture[used - 1] |= 1;
    return picture;
}

Bytes KtstFrame(const Bytes& picture) {
    size_t used = picture.size();
    while (used > 0 && picture[used - 1] == 0)
        --used;
    uint32_t n = uint32_t(picture.size());
    Bytes out(4 + used);
    std::memcpy(out.data(), &n, 4);
    std::memcpy(out.data() + 4, picture.data(), used);
    return out;
}

kt::Format KtstFormat(LONG width, LONG height) {
    kt::Format f = kt::MakeFormat(width, height, kTestCodecFourcc, 24);
    f.header()->biSizeImage += 4;
    return f;
}

void PlaybackIni(bool fastread, bool huffyuv, int readahead) {
    if (readahead == 0) {
        kt::WriteIni({{"fastread", fastread ? "1" : "0"}, {"huffyuv", huffyuv ? "1" : "0"}});
        return;
    }
    kt::WriteIni({{"fastread", fastread ? "1" : "0"},
                  {"huffyuv", huffyuv ? "1" : "0"},
                  {"readahead", std::to_string(readahead)}});
}

Player::Player(kt::Format in, kt::Format out)
    : hic_(kt::OpenKest(ICMODE_DECOMPRESS)), in_(std::move(in)), out_(std::move(out)) {}

LRESULT Player::Begin() {
    return ICDecompressBegin(hic_.get(), in_.header(), out_.header());
}

LRESULT Player::End() {
    return ICDecompressEnd(hic_.get());
}

LRESULT Player::Play(const Bytes& record, Bytes& picture, size_t outputOffset) {
    in_.header()->biSizeImage = DWORD(record.size());
    size_t image = imageBytes();
    buffer_.assign(image + outputOffset + 64, 0xEE);
    // ICDecompress answers a DWORD: widen it with its sign, as the codec's LRESULT was.
    LRESULT result =
        LONG(ICDecompress(hic_.get(), 0, in_.header(), const_cast<uint8_t*>(record.data()),
                          out_.header(), buffer_.data() + outputOffset));
    picture.assign(buffer_.begin() + outputOffset, buffer_.begin() + outputOffset + image);
    for (size_t i = image + outputOffset; i < buffer_.size(); ++i)
        if (buffer_[i] != 0xEE) {
            ADD_FAILURE() << "the codec wrote past the output image, at byte " << i - outputOffset;
            break;
        }
    return result;
}

LRESULT Player::PlayClaiming(const Bytes& record, uint32_t recordBytes, Bytes& picture) {
    in_.header()->biSizeImage = recordBytes;
    picture.assign(imageBytes(), 0xEE);
    return LONG(ICDecompress(hic_.get(), 0, in_.header(), const_cast<uint8_t*>(record.data()),
                             out_.header(), picture.data()));
}

// Writes one video stream with fccHandler "KEST", the given format and one record per frame.
std::string HostileTakeFolder(hostile::Entry entry, const std::string& otherwise) {
    std::string fixture = KESTRO_HOSTILE_TAKES;
    std::replace(fixture.begin(), fixture.end(), '/', '\\');
    if (entry == hostile::Entry::Fifo)
        return "Z:" + fixture + "\\fifo";
    if (entry == hostile::Entry::LinkToDevZero)
        return "Z:" + fixture + "\\zero";
    return otherwise;
}

void WriteAvi(const std::string& file, const kt::Format& format, const std::vector<Bytes>& records,
              LONG width, LONG height) {
    DeleteFileA(file.c_str());
    PAVIFILE avi = nullptr;
    ASSERT_EQ(AVIFileOpenA(&avi, file.c_str(), OF_CREATE | OF_WRITE, nullptr), 0);
    AVISTREAMINFOA info{};
    info.fccType = streamtypeVIDEO;
    info.fccHandler = kt::kKest;
    info.dwScale = 1;
    info.dwRate = 30;
    info.dwSuggestedBufferSize = 512;
    SetRect(&info.rcFrame, 0, 0, width, height < 0 ? -height : height);
    PAVISTREAM stream = nullptr;
    ASSERT_EQ(AVIFileCreateStreamA(avi, &stream, &info), 0);
    ASSERT_EQ(AVIStreamSetFormat(stream, 0, const_cast<uint8_t*>(format.bytes.data()),
                                 LONG(format.bytes.size())),
              0);
    for (size_t i = 0; i < records.size(); ++i)
        ASSERT_EQ(AVIStreamWrite(stream, LONG(i), 1, const_cast<uint8_t*>(records[i].data()),
                                 LONG(records[i].size()), AVIIF_KEYFRAME, nullptr, nullptr),
                  0);
    AVIStreamRelease(stream);
    AVIFileRelease(avi);
}

} // namespace kp
