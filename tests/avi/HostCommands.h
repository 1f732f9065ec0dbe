#pragma once
// Every command of the host program that reads a capture, run in-process on one AVI: the table
// the hostile-input tests walk.
#include <functional>
#include <string>
#include <vector>

#include "Host.h"

namespace hostcmd {

struct Command {
    const char* name;
    std::function<int()> run;
};

// The commands on `avi`; what they make (pictures played, an AVI relinked or recovered) goes into
// the folder `dir`, under the names of Made().
inline std::vector<Command> Commands(const std::string& avi, const std::string& dir) {
    using namespace host;
    PlayOptions play;
    play.input = avi;
    play.as = kestro::KIND_YUY2;
    play.rawOutput = dir + "\\played.raw";
    play.quiet = true;
    PlayOptions getFrame = play;
    getFrame.getFrame = true;
    getFrame.as = kestro::KIND_RGB24;
    const ExportOptions toPipe{avi, std::string(1, '-'), true};
    RelinkOptions relink;
    relink.input = avi;
    relink.dataDir = dir;
    relink.newBase = dir + "\\moved";
    relink.output = dir + "\\relinked.avi";
    return {{"info", [=] { return RunInspect(avi, false, true); }},
            {"verify", [=] { return RunInspect(avi, true, false); }},
            {"play", [=] { return RunPlay(play); }},
            {"play --getframe", [=] { return RunPlay(getFrame); }},
            {"export -", [=] { return RunExport(toPipe); }},
            {"relink", [=] { return RunRelink(relink); }},
            {"recover", [=] {
                 return RunRecover(RecoverOptions{avi, dir + "\\recovered.avi"});
             }}};
}

// The files the commands make in `dir`.
inline std::vector<std::string> Made(const std::string& dir) {
    return {dir + "\\played.raw", dir + "\\relinked.avi", dir + "\\recovered.avi"};
}

} // namespace hostcmd
