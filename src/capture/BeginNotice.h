#pragma once
#include <windows.h>

#include <string>

namespace kestro {

// Why a compress begin was refused in a way the user can mend (the host sees only the message
// result): the data file's name, its folder, its first piece or its disk.
enum class BeginRefusal {
    NameRefused,       // a name whose records no player could open (relative, a stream...)
    FolderMissing,     // the folder of the data file does not exist
    FolderNotWritable, // the folder exists, but nothing can be created in it
    PieceNotOpened,    // piece 0 exists (or is no file) and cannot be opened for writing
    NoSpace,           // the disk has too little free space for the first page of piece 0
    NameTooLong,       // the data file beside a kept take would be named beyond what records hold
    AllNamesTaken,     // every data file name beside a kept take within the search holds one
    StripeRepeated,    // a stripe names the data file, or another stripe, again
};

// Which of the open refusals it was, from the system's error of opening piece 0 and what is
// on disk now.
BeginRefusal OpenRefusal(const std::string& piece0, DWORD error);

// One line naming the reason and the data file, e.g. "the folder C:\x of the data file does
// not exist (data file C:\x\take)"; `place` names the take that kept its place and the name
// tried, where the search for a place got that far.
std::string BeginRefusalText(BeginRefusal refusal, const std::string& dataFile,
                             const std::string& piece0, DWORD error, const std::string& place = {});

// The process has a desktop a user looks at: its window station is the interactive one and
// visible. A service or a scheduled task without a logon has none, and a message box there
// would wait for a click nobody can give.
bool InteractiveDesktop();

// Says `text` to the debugger, and in a message box unless `quiet` or without an interactive
// desktop. Returns whether a box was shown.
bool SayBeginRefusal(const std::string& text, bool quiet);

} // namespace kestro
