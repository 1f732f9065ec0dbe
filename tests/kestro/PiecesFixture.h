#pragma once
// Captures of a few YUY2 frames, two to a piece, and what the tests of pieces ask of the output.
#include <string>
#include <vector>

#include "ToolFixture.h"
#include "pure/PixelKind.h"

class Pieces : public ToolTest {
protected:
    RawCapture Yuy2(size_t frames = 6) {
        RawCapture c;
        c.source = kestro::MakeFourcc('Y', 'U', 'Y', '2');
        c.frames = frames;
        c.framesPerPiece = 2;
        return c;
    }
    static size_t Count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }
    static void WriteText(const std::string& path, const std::string& text) {
        synth::WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
    }
    bool LeftoverOutput() {
        int status;
        auto list = Shell("ls -A '" + dir + "' | grep -e '^out' -e kestro- || true", &status);
        return !list.empty();
    }
};
