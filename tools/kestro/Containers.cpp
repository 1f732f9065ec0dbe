#include "Containers.h"

#include <strings.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
}

#include <cstring>
#include <string_view>

namespace kestro::tool {

namespace {

bool EndsWith(const std::string& s, const char* tail) {
    const size_t n = std::strlen(tail);
    return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, tail) == 0;
}

// The extensions of the containers that have `only` set (all without one), each as `show` makes
// it, `between` them and `last` before the last.
template <typename Show>
std::string Joined(Show show, const char* between, const char* last,
                   bool Container::*only = nullptr) {
    std::vector<const char*> chosen;
    for (const auto& c : Containers())
        if (!only || c.*only)
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

std::string RawRefusal(const Container& container, const char* pixFmt) {
    if (!CarriesRaw(container, pixFmt))
        return std::string("the ") + container.muxer + " writer has no tag for raw " + pixFmt +
               " pictures; export to " + ContainerList(&Container::carriesEveryRawFormat) +
               " instead";
    const AVPixelFormat format = av_get_pix_fmt(pixFmt);
    if (format == AV_PIX_FMT_NONE || avcodec_pix_fmt_to_codec_tag(format) != 0)
        return {};
    return std::string("FFmpeg has no tag for raw ") + pixFmt + " pictures, so a " +
           container.muxer + " file would be read back as another pixel format; export to - and " +
           "give ffmpeg the pipe's input that 'kestro info' prints";
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
    return Joined([](const char* e) { return std::string(e); }, ", ", " or ", only);
}

} // namespace kestro::tool
