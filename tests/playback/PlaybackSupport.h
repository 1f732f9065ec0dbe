#pragma once
// Data files and frame records laid out the way a capture run leaves them, and a player that
// plays them back through the codec manager.
#include <cstdint>
#include <string>
#include <vector>

#include "HostileTakeFiles.h"
#include "WineCodec.h"

namespace kp {

using Bytes = std::vector<uint8_t>;

uint32_t PageSize();
uint64_t RoundUp(uint64_t n);

// The running test's name, usable in a file name.
std::string TestName();

// Random bytes from a seed (a picture that no other frame repeats).
Bytes Noise(size_t size, uint32_t seed);

// One frame's place in a data file.
struct Placed {
    std::string path;
    uint64_t offset;
    uint32_t size;
};

// Writes frames one after another, each starting on a page, the padding left as garbage; the
// file is then extended by `reserved` bytes of zeros (space reserved beforehand).
std::vector<Placed> WriteDataFile(const std::string& path, const std::vector<Bytes>& frames,
                                  uint64_t reserved = 0);

// The record the codec hands the host for a frame (offset, size, 4 reserved bytes, path).
Bytes MakeRecord(uint64_t offset, uint32_t size, const std::string& path);
inline Bytes MakeRecord(const Placed& p) {
    return MakeRecord(p.offset, p.size, p.path);
}

// The 52-byte stream format of a raw stream: `source` is the compression the capture host
// gave (YUY2, UYVY or 0 for RGB).
kt::Format RawStream(LONG width, LONG height, DWORD source, WORD bits);
// The stream format of a chained stream, the chained codec's own format appended.
kt::Format ChainedStream(LONG width, LONG height, WORD bits, DWORD handler,
                         const kt::Format& chained);

// The test codec (KTST) stores a picture as its byte count, then its bytes up to the last
// non-zero one: a picture of `used` random bytes then zeros has a stored size the test chooses.
Bytes KtstPicture(LONG width, LONG height, size_t used, uint32_t seed);
Bytes KtstFrame(const Bytes& picture);
// KTST's own format for RGB24 pictures of that size: four bytes more than the picture.
kt::Format KtstFormat(LONG width, LONG height);

// Writes kestdisk.ini for playback; no codec handle may be open.
// `readahead` 0 leaves the key out: the codec's default depth.
void PlaybackIni(bool fastread, bool huffyuv = false, int readahead = 0);

// A decompressor handle on "KEST" with one stream and output format.
class Player {
public:
    Player(kt::Format in, kt::Format out);
    bool ok() const { return bool(hic_); }
    LRESULT Begin();
    LRESULT End();
    // Plays one record; the output buffer is resized to the output image size (plus `slack`)
    // and filled with 0xEE first, so that an unwritten picture shows.
    LRESULT Play(const Bytes& record, Bytes& picture, size_t outputOffset = 0);
    // Plays a record whose input format claims `recordBytes` bytes.
    LRESULT PlayClaiming(const Bytes& record, uint32_t recordBytes, Bytes& picture);
    HIC hic() const { return hic_.get(); }
    kt::Format& in() { return in_; }
    kt::Format& out() { return out_; }
    uint32_t imageBytes() const { return out_.header()->biSizeImage; }

private:
    kt::Hic hic_;
    kt::Format in_, out_;
    Bytes buffer_;
};

// The folder where a take file of the hostile list lies: the one the test hostile_takes_setup
// made for a FIFO or a link to a device (which no Windows program can make), else `otherwise`.
std::string HostileTakeFolder(hostile::Entry entry, const std::string& otherwise);

// Writes one video stream with fccHandler "KEST", the given format and one record per frame.
void WriteAvi(const std::string& file, const kt::Format& format, const std::vector<Bytes>& records,
              LONG width, LONG height);

} // namespace kp
