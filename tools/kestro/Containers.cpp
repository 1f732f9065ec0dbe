#include "Containers.h"

#include <strings.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
}

#include <cstring>
#include <functional>
#include <string_view>

namespace kestro::tool {

namespace {

bool EndsWith(const std::string& s, const char* tail) {
    const size_t n = std::strlen(tail);
    return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, tail) == 0;
}

// The extensions of the containers `only` chooses (all without it), each as `show` makes it,
// `between` them and `last` before the last.
template <typename Show>
std::string Joined(Show show, const char* between, const char* last,
                   const std::function<bool(const Container&)>& only = nullptr) {
    std::vector<const char*> chosen;
    for (const auto& c : Containers())
        if (!only || only(c))
            chosen.push_back(c.extension);
    std::string text;
    for (size_t i = 0; i < chosen.size(); ++i) {
        if (i)
            text += i + 1 == chosen.size() ? last : between;
        text += show(chosen[i]);
    }
    return text;
}

} // namespace

const std::vector<Container>& Containers() {
    static const std::vector<Container> table{
        {.extension = ".avi", // OpenDML beyond 4 GiB
         .muxer = "avi",
         .dibRows = true,
         .rawTag = RawTag::Fourcc,
         .keepsFourccs = true,
         .keepsBitDepth = true,
         .fillsLateStart = true},
        // Raw pictures in its Video for Windows mode: a bitmap header, as in AVI. A checksum over
        // every cluster would halve the export's speed.
        {.extension = ".mkv",
         .muxer = "matroska",
         .dibRows = true,
         .rawTag = RawTag::Fourcc,
         .keepsBitDepth = true,
         .options = {{"allow_raw_vfw", "1", true}, {"write_crc32", "0", false}}},
        {.extension = ".nut", .muxer = "nut", .rawTag = RawTag::PixelFormat},
        // Raw pictures in the pixel formats its writer has a sample tag for, v210 as the codec of
        // that name, and YVYU, NV12 and I420 under their fourccs. Gray's one tag ('raw ' at depth
        // 40) has its writer store the samples inverted.
        {.extension = ".mov",
         .muxer = "mov",
         .rawTag = RawTag::None,
         .carriesEveryRawFormat = false,
         .rawPixelFormats = {"yuyv422", "uyvy422", "bgr24", "bgra", "v210"},
         .fourccTagged = {"yvyu422", "nv12", "yuv420p"}},
    };
    return table;
}

namespace {

bool Lists(const std::vector<const char*>& names, const char* pixFmt) {
    for (const char* name : names)
        if (std::string_view(name) == pixFmt)
            return true;
    return false;
}

} // namespace

bool CarriesRaw(const Container& container, const char* pixFmt) {
    return container.carriesEveryRawFormat || Lists(container.rawPixelFormats, pixFmt) ||
           Lists(container.fourccTagged, pixFmt);
}

bool TagsWithFourcc(const Container& container, const char* pixFmt) {
    return Lists(container.fourccTagged, pixFmt);
}

namespace {

// Whether pictures of `pixFmt` read back as that format from a container that carries them raw.
bool ReadsBackAs(const Container& container, const char* pixFmt) {
    if (!container.carriesEveryRawFormat)
        return true; // the ones listed have their tags
    const AVPixelFormat format = av_get_pix_fmt(pixFmt);
    return format == AV_PIX_FMT_NONE || avcodec_pix_fmt_to_codec_tag(format) != 0;
}

constexpr char kThroughThePipe[] =
    "export to - and give ffmpeg the pipe's input that 'kestro info' prints";

} // namespace

std::string RawRefusal(const Container& container, const char* pixFmt) {
    if (!CarriesRaw(container, pixFmt)) {
        // Only a container that keeps these pictures is offered; there may be none.
        const std::string others = Joined(
            [](const char* e) { return std::string(e); }, ", ", " or ",
            [&](const Container& c) { return CarriesRaw(c, pixFmt) && ReadsBackAs(c, pixFmt); });
        return std::string("the ") + container.muxer + " writer has no tag for raw " + pixFmt +
               " pictures; " +
               (others.empty() ? std::string("nor has any other container this tool writes: ") +
                                     kThroughThePipe
                               : "export to " + others + " instead");
    }
    if (ReadsBackAs(container, pixFmt))
        return {};
    return std::string("FFmpeg has no tag for raw ") + pixFmt + " pictures, so a " +
           container.muxer + " file would be read back as another pixel format; " + kThroughThePipe;
}

const Container* ContainerFor(const std::string& output) {
    for (const auto& c : Containers())
        if (EndsWith(output, c.extension))
            return &c;
    return nullptr;
}

std::string ContainerOutputs() {
    return Joined([](const char* e) { return "OUT" + std::string(e); }, "|", "|");
}

std::string ContainerBraces() {
    std::string text = "{";
    text += Joined([](const char* e) { return std::string(e).substr(1); }, ",", ",");
    text += '}';
    return text;
}

std::string ContainerList(bool Container::*only) {
    std::function<bool(const Container&)> chosen;
    if (only)
        chosen = [only](const Container& c) { return c.*only; };
    return Joined([](const char* e) { return std::string(e); }, ", ", " or ", chosen);
}

} // namespace kestro::tool
