// What an administrator's install may do with the data folder on a path standard users can write:
// a table of what a user may have prepared there, each with the install's answer.
#include <gtest/gtest.h>

#include "FolderTrust.h"

using namespace kestro::install;

namespace {

// C:\Users\Public\Videos\Kestro32 as the install finds it: `data` is the last part.
std::vector<PathPart> Parts(PathPart videos, PathPart data) {
    return {{"C:\\", true, true, false},
            {"C:\\Users", true, true, false},
            {"C:\\Users\\Public", true, true, false},
            {"C:\\Users\\Public\\Videos", videos.exists, videos.folder, videos.link},
            {"C:\\Users\\Public\\Videos\\Kestro32", data.exists, data.folder, data.link}};
}

TEST(DataFolder, IsMadeOnlyWhereNoUserCanHaveLaidALink) {
    const PathPart folder{"", true, true, false}, absent{}, link{"", true, true, true},
        file{"", true, false, false};
    struct Row {
        const char* what;
        PathPart videos, data;
        Owner owner;
        const char* refusal; // part of the answer; null: the install may go on
    };
    const Row rows[] = {
        {"absent: the install makes it", folder, absent, Owner::Other, nullptr},
        {"the folder above absent too", absent, absent, Owner::Unknown, nullptr},
        {"made by an elevated administrator", folder, folder, Owner::Administrators, nullptr},
        {"made by the system (the package)", folder, folder, Owner::System, nullptr},
        {"made by the user installing", folder, folder, Owner::Installer, nullptr},
        {"made by another user", folder, folder, Owner::Other, "was made by another user"},
        {"an owner that cannot be read", folder, folder, Owner::Unknown, "cannot be read"},
        {"a junction a user made in its place", folder, link, Owner::Administrators,
         "Kestro32 is a link"},
        {"a junction above it", link, absent, Owner::Installer, "Videos is a link"},
        {"a junction above a folder of its own", link, folder, Owner::Administrators,
         "Videos is a link"},
        {"a file in its place", folder, file, Owner::Administrators, "is a file, not a folder"},
    };
    for (const Row& row : rows) {
        const auto refusal = DataFolderRefusal(Parts(row.videos, row.data), row.owner);
        if (!row.refusal) {
            EXPECT_FALSE(refusal) << row.what << ": " << *refusal;
            continue;
        }
        ASSERT_TRUE(refusal) << row.what;
        EXPECT_NE(refusal->find(row.refusal), std::string::npos) << row.what << ": " << *refusal;
    }
    EXPECT_TRUE(DataFolderRefusal({}, Owner::Administrators));
}

} // namespace
