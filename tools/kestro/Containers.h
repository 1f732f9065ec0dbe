#pragma once
// The files `kestro export` writes, one row each: what the container keeps of a KEST stream's
// bitmap header, how its rows and codec tags are laid out, and what its muxer is asked. The
// export and the usage text both read this table.
#include <string>
#include <vector>

namespace kestro::tool {

// The codec tag raw pictures get.
enum class RawTag {
    Fourcc,      // the bitmap header's: YUY2, UYVY, 0 for RGB
    PixelFormat, // the pixel format's own tag (left 0, NUT would guess one from the bit count)
    None,
};

struct MuxerOption {
    const char* key;
    const char* value;
    bool rawOnly; // for unchained streams only
};

struct Container {
    const char* extension = nullptr; // ".avi"
    const char* muxer = nullptr;     // libavformat's name, also the writer's name in messages
    // Raw RGB keeps the bitmap header's 4-byte rows; else rows are packed. Either way the
    // pictures go top row first (a bitmap-header muxer marks its header so).
    bool dibRows = false;
    RawTag rawTag = RawTag::None;
    // The chained codec's fourcc and the copied streams' tags are kept: a chained codec that
    // libavformat does not know may still go there.
    bool keepsFourccs = false;
    // The bitmap header's bit depth is kept: chained codecs that cannot be decoded without it
    // (MS RLE, MS Video 1) may go there.
    bool keepsBitDepth = false;
    // Its writer has a tag for every raw pixel format; else only for those of rawPixelFormats,
    // and of fourccTagged: pictures its writer has no sample tag for, which go with the kind's
    // fourcc as their tag (FFmpeg's reader maps it back to the pixel format), a tag its writer
    // takes only when asked for no more than unofficial compliance.
    bool carriesEveryRawFormat = true;
    std::vector<const char*> rawPixelFormats{};
    std::vector<const char*> fourccTagged{};
    // No timestamps: a video that starts late begins with as many empty frames.
    bool fillsLateStart = false;
    std::vector<MuxerOption> options{};
};

const std::vector<Container>& Containers();

// The container an output's name ends in (letter case aside); null for none.
const Container* ContainerFor(const std::string& output);

// Whether raw pictures of FFmpeg's pixel format `pixFmt` can go into the container.
bool CarriesRaw(const Container& container, const char* pixFmt);
// Whether they go there tagged with the kind's fourcc (see Container::fourccTagged).
bool TagsWithFourcc(const Container& container, const char* pixFmt);
// Why raw pictures of `pixFmt` cannot go into the container or would not come back as they went,
// empty when they can and would: FFmpeg's readers know a raw pixel format only by a tag of its
// own table, and one without a tag is read back as another (p010le from AVI as bgr24). A name
// that is no pixel format of FFmpeg's (v210, a codec of its own) needs no such tag.
std::string RawRefusal(const Container& container, const char* pixFmt);

// For the usage text and its messages: "OUT.avi|OUT.mkv|...", "{avi,mkv,...}" and
// ".avi, .mkv ... or .mov" (with `only`, of the containers that have that set).
std::string ContainerOutputs();
std::string ContainerBraces();
std::string ContainerList(bool Container::*only = nullptr);

} // namespace kestro::tool
