// An export larger than 4 GiB (OpenDML AVI) on tmpfs: read back completely by ffprobe.
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "ToolFixture.h"
#include "pure/PixelKind.h"

using namespace kestro;

namespace {

TEST(Large, AviOver4GiBReadsCompletelyWithBoundedMemory) {
    const char* shm = "/dev/shm";
    struct statvfs fs;
    const uint64_t frameBytes = 1920ull * 1080 * 2;
    const uint64_t frames = (4ull << 30) / frameBytes + 40; // 4.3 GB of pictures
    if (statvfs(shm, &fs) != 0 ||
        uint64_t(fs.f_bavail) * fs.f_frsize < frames * frameBytes + (1ull << 30))
        GTEST_SKIP() << "not enough room on " << shm;
    char name[] = "/dev/shm/kestro-large-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    const std::string dir = name;
    // Every record names the same picture: a small piece, a large export.
    std::vector<uint8_t> picture(frameBytes);
    for (size_t i = 0; i < picture.size(); ++i)
        picture[i] = uint8_t(i * 13 + (i >> 12));
    synth::WriteFile(dir + "/kestro.000", picture);
    synth::AviPlan plan;
    plan.format = synth::StreamFormat(1920, 1080, MakeFourcc('Y', 'U', 'Y', '2'), 16);
    for (uint64_t i = 0; i < frames; ++i)
        plan.records.push_back(synth::Record(0, uint32_t(frameBytes), "t:\\kestro.000"));
    synth::WriteFile(dir + "/take.avi", synth::BuildAvi(plan));

    const std::string out = dir + "/big.avi";
    auto r = RunKestro({"export", dir + "/take.avi", out, "-q"});
    EXPECT_EQ(r.code, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_GT(uint64_t(st.st_size), 4ull << 30);
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, 200 * 1024) << "peak memory in kB: bounded, not the output's size";
    int status;
    auto probe = Shell("ffprobe -v error -count_packets -show_entries stream=nb_read_packets "
                       "-of csv=p=0 '" +
                           out + "'",
                       &status);
    EXPECT_EQ(std::string(probe.begin(), probe.end()), std::to_string(frames) + "\n");
    // The last picture, past 4 GiB, is the stored one.
    auto last =
        Shell("ffmpeg -v error -sseof -1 -i '" + out +
                  "' -f rawvideo -pix_fmt yuyv422 - | tail -c " + std::to_string(frameBytes),
              &status);
    EXPECT_TRUE(last == picture);
    std::system(("rm -rf '" + dir + "'").c_str());
}

} // namespace
