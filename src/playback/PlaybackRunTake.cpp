// Whether the pieces a record names still hold its take: the take file beside them names the
// take they hold now, and a record of any other take has lost its frames to it.
#include "edge/TakeFiles.h"
#include "playback/PlaybackRun.h"

using namespace kestro;

void PlaybackRun::ReadTakeBeside(const char* piece) {
    readTake.reset();
    if (auto path = TakeFileOfPiece(piece))
        readTake = ReadTakeFileAt(*path);
}

bool PlaybackRun::TakeReplaced(const FrameRecordView& record) const {
    return MatchTake(readTake, record.take) == TakeMatch::Replaced;
}
