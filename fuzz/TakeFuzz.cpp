// The take file reader, from anything a disk or a hostile user may leave beside the pieces. The
// first byte says how it lies there (a regular file, a symbolic link to one, a folder); the rest
// are its bytes. What the reader finds is a take file read whole and valid, or a damaged one with
// a reason, never nothing; a damaged one refuses every record's frames; a valid one is what its
// text says and is written back as text that reads as the same take; the tool's reader and the
// parser agree on every regular file.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "TakeBeside.h"
#include "TakeRefusal.h"
#include "pure/TakeFile.h"

using namespace kestro;

namespace {

const std::string& Scratch() {
    static const std::string dir = [] {
        char name[] = "/tmp/fuzz-take-XXXXXX";
        const char* made = mkdtemp(name);
        FUZZ_CHECK(made != nullptr, "no scratch folder");
        return std::string(made);
    }();
    return dir;
}

void Remove(const std::string& path) {
    unlink(path.c_str());
    rmdir(path.c_str());
}

bool SameTake(const TakeFile& a, const TakeFile& b) {
    return a.id == b.id && a.started == b.started && a.pieceBytes == b.pieceBytes &&
           a.inputFormat == b.inputFormat && a.streamFormat == b.streamFormat &&
           a.frames == b.frames && a.ended == b.ended && a.replaced == b.replaced &&
           a.removed == b.removed;
}

// A damaged take file says why in words: no control character, no unbounded quote.
void CheckDamage(const std::string& damage) {
    FUZZ_CHECK(!damage.empty() && damage.size() < 200, damage);
    for (char c : damage)
        FUZZ_CHECK(uint8_t(c) >= 0x20, "a control character in the reason");
}

void CheckRead(const TakeFileRead& read, const std::string& shownAs) {
    FUZZ_CHECK(read.take.has_value() == read.damage.empty(), "neither a take nor damaged");
    if (!read.take) {
        CheckDamage(read.damage);
        for (uint32_t record : {0u, 1u, 0x8F3A91C2u}) {
            FUZZ_CHECK(MatchTake(read, record) == TakeMatch::Untold, "a damaged file told a take");
            auto refusal = avi::TakeRefusalText(read, record, shownAs);
            FUZZ_CHECK(refusal && refusal->find(shownAs) != std::string::npos &&
                           refusal->find(read.damage) != std::string::npos,
                       "the refusal names neither the file nor what is wrong");
        }
        return;
    }
    const TakeFile& take = *read.take;
    FUZZ_CHECK(take.id != 0, "a take of identity 0");
    // A take removed on request never plays: its refusal says it was removed.
    const auto own = avi::TakeRefusalText(read, take.id, shownAs);
    if (take.removed.empty()) {
        FUZZ_CHECK(MatchTake(read, take.id) == TakeMatch::Same, "its own take refused");
        FUZZ_CHECK(!own, "its own take refused");
    } else {
        FUZZ_CHECK(MatchTake(read, take.id) == TakeMatch::Removed, "a removed take matched");
        FUZZ_CHECK(own && own->find("removed") != std::string::npos, "a removed take played");
    }
    FUZZ_CHECK(avi::TakeRefusalText(read, take.id ^ 1, shownAs), "another take passed");
    const TakeFileRead again = ParseTakeFile(FormatTakeFile(take));
    FUZZ_CHECK(again.take && SameTake(*again.take, take), "written back, it reads as another");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    const uint8_t how = in.U8();
    const std::vector<uint8_t> bytes = in.Rest();
    const std::string text(bytes.begin(), bytes.end());
    const TakeFileRead parsed = ParseTakeFile(text);
    CheckRead(parsed, "kestro.take");

    const std::string target = Scratch() + "/target.take", path = Scratch() + "/kestro.take";
    Remove(path);
    Remove(target);
    std::string error;
    switch (how % 3) {
    case 0: { // the file itself: the tool reads what the parser reads
        FILE* f = std::fopen(path.c_str(), "wb");
        FUZZ_CHECK(f && std::fwrite(text.data(), 1, text.size(), f) == text.size(), "write");
        std::fclose(f);
        std::string found;
        const TakeFileRead read = tool::ReadTakeFile(path, &found);
        CheckRead(read, found);
        FUZZ_CHECK(found == path, "found under another name");
        FUZZ_CHECK(read.take.has_value() == parsed.take.has_value(), "the tool and the parser");
        FUZZ_CHECK(!read.take || SameTake(*read.take, *parsed.take), "the tool and the parser");
        break;
    }
    case 1: { // a link, wherever it leads, is never followed
        FUZZ_CHECK(symlink(text.size() % 2 ? "/dev/zero" : target.c_str(), path.c_str()) == 0,
                   "symlink");
        const TakeFileRead read = tool::ReadTakeFile(path);
        CheckRead(read, path);
        FUZZ_CHECK(!read.take, "a link was followed");
        break;
    }
    default: { // the writer: what it writes, its reader reads whole
        if (!parsed.take)
            return 0;
        FUZZ_CHECK(tool::WriteNewTakeFile(path, *parsed.take, error), error);
        const TakeFileRead read = tool::ReadTakeFile(path);
        FUZZ_CHECK(read.take && SameTake(*read.take, *parsed.take), "written, it reads otherwise");
        break;
    }
    }
    Remove(path);
    return 0;
}
