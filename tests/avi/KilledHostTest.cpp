// A capture host killed mid-take, as a crash or a power cut ends one: the frame journal it leaves
// reads up to its last whole row, every row a frame the host got back, in order.
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "WineCodec.h"
#include "pure/FrameJournal.h"

namespace {

kestro::JournalRead ReadJournal(const std::string& path) {
    const std::string bytes = kt::ReadFileBytes(path);
    return kestro::ParseJournal(
        std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

// The host writes the settings it is given and, killed, never puts them back: the other tests'
// come back however this one ends.
struct SettingsKept {
    std::string saved = kt::ReadFileBytes(kt::IniPath());
    ~SettingsKept() { kt::WriteFileBytes(kt::IniPath(), saved); }
};

TEST(KilledHost, LeavesAJournalReadUpToItsLastWholeRow) {
    const SettingsKept settings;
    const std::string dir = kt::DataDir("killed-journal");
    const std::string base = dir + "\\take", journal = kestro::JournalFileName(base);
    for (const char* fast : {"0", "1"}) {
        SCOPED_TRACE(std::string("fastwrite=") + fast);
        std::string command =
            std::string(1, '"').append(kt::HostProgram()).append("\" --datafile ");
        command += base + " --ini fastwrite=" + fast + " --ini request=4 capture --pace --size " +
                   "320x240 --rate 30 --frames 0 -q -o " + dir + "\\take.avi";
        STARTUPINFOA start{};
        start.cb = sizeof start;
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &start, &process))
            << command;
        // Killed once the journal holds a second and a half of frames: a page or two written as
        // the take went, the last written a second ago at most.
        size_t seen = 0;
        for (int i = 0; i < 600 && seen < 45; ++i, Sleep(50))
            seen = ReadJournal(journal).rows.size();
        Sleep(700);
        TerminateProcess(process.hProcess, 9);
        EXPECT_EQ(WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);

        const kestro::JournalRead read = ReadJournal(journal);
        ASSERT_TRUE(read.header) << read.damage;
        EXPECT_EQ(read.cutBytes, 0u);
        EXPECT_GE(read.rows.size(), seen);
        EXPECT_GE(read.rows.size(), 45u) << "the host never got that far";
        for (size_t i = 0; i < read.rows.size(); ++i) {
            EXPECT_EQ(read.rows[i].frame, uint32_t(i));
            EXPECT_EQ(read.rows[i].bytes, 38u * 4096) << "153,600 bytes in whole pages";
        }
        for (const char* leftover : {".000", ".take", ".journal", ".avi"})
            DeleteFileA((base + leftover).c_str());
    }
    RemoveDirectoryA(dir.c_str());
}

} // namespace
