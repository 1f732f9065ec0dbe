// The take files beside the pieces: every one this program reads comes through ReadTakeFile,
// after the piece rule has accepted the piece it lies beside.
#include <windows.h>

#include "Host.h"
#include "HostWin.h"
#include "PathGate.h"
#include "edge/TakeFiles.h"

namespace host {

kestro::TakeFileRead ReadTakeFile(const std::string& takeFile) {
    const std::string_view suffix = kestro::kTakeFileSuffix;
    if (takeFile.size() <= suffix.size() ||
        lstrcmpiA(takeFile.c_str() + takeFile.size() - suffix.size(), std::string(suffix).c_str()))
        return {};
    // A take file lies where its pieces do: opened only where piece 0 beside it may be.
    const std::string piece = takeFile.substr(0, takeFile.size() - suffix.size()) + ".000";
    if (!PathGate().Refusal(piece, "").empty())
        return {std::nullopt, "it is not read where no piece of its data file may be opened"};
    return kestro::ReadTakeFileAt(takeFile);
}

kestro::TakeFileRead TakeBeside(const std::string& piece, std::string* takeFile) {
    auto file = kestro::TakeFileOfPiece(piece);
    if (!file)
        return {};
    if (takeFile)
        *takeFile = *file;
    return ReadTakeFile(*file);
}

} // namespace host
