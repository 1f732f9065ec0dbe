// `kestro export` against a plain copy of the same data file into the same folder, and its peak
// memory for a short and a four times longer capture.
// Usage: export_bench KESTRO [folder (default /dev/shm)] [frames (default 200)]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "SynthAvi.h"
#include "pure/PixelKind.h"

namespace {

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Runs the tool; its wall time and peak resident memory (kB).
bool Run(const std::vector<std::string>& args, double& seconds, long& maxrssKb) {
    const double t0 = Now();
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid)
        return false;
    seconds = Now() - t0;
    maxrssKb = usage.ru_maxrss;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double PlainCopy(const std::string& from, const std::string& to) {
    std::vector<char> block(1 << 20);
    const double t0 = Now();
    int in = open(from.c_str(), O_RDONLY),
        out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0)
        return 0;
    ssize_t n;
    while ((n = read(in, block.data(), block.size())) > 0)
        if (write(out, block.data(), size_t(n)) != n)
            return 0;
    fsync(out);
    close(in);
    close(out);
    return Now() - t0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: export_bench KESTRO [folder] [frames]\n");
        return 2;
    }
    const std::string tool = argv[1];
    const std::string folder =
        std::string(argc > 2 ? argv[2] : "/dev/shm") + "/kestro-export-bench";
    const size_t frames = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 200;
    mkdir(folder.c_str(), 0755);
    const uint32_t w = 1920, h = 1080, bytes = w * h * 2, span = (bytes + 4095) & ~4095u;
    std::vector<uint8_t> picture(span);
    for (size_t i = 0; i < picture.size(); ++i)
        picture[i] = uint8_t(i * 7 + (i >> 12));
    // One data file as a capture leaves it: page-aligned frames one after another.
    {
        int fd = open((folder + "/kestro.000").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (size_t f = 0; f < frames; ++f) {
            picture[0] = uint8_t(f);
            if (fd < 0 || write(fd, picture.data(), span) != ssize_t(span))
                return 1;
        }
        close(fd);
    }
    auto makeAvi = [&](const std::string& path, size_t count) {
        synth::AviPlan plan;
        plan.format = synth::StreamFormat(int32_t(w), int32_t(h), kestro::kFourccYuy2, 16);
        for (size_t f = 0; f < count; ++f)
            plan.records.push_back(
                synth::Record(uint64_t(f % frames) * span, bytes, "t:\\kestro.000"));
        synth::WriteFile(path, synth::BuildAvi(plan));
    };
    makeAvi(folder + "/take.avi", frames);
    makeAvi(folder + "/long.avi", frames * 4);

    const double mb = double(frames) * bytes / 1e6;
    double copyBest = 1e9, exportBest = 1e9, seconds = 0;
    long rss = 0, rssShort = 0, rssLong = 0;
    for (int round = 0; round < 3; ++round) {
        const double copy = PlainCopy(folder + "/kestro.000", folder + "/copy.bin");
        unlink((folder + "/copy.bin").c_str());
        if (copy > 0 && copy < copyBest)
            copyBest = copy;
        if (!Run({tool, "export", folder + "/take.avi", folder + "/out.avi", "-q"}, seconds, rss)) {
            std::fprintf(stderr, "export failed\n");
            return 1;
        }
        unlink((folder + "/out.avi").c_str());
        exportBest = std::min(exportBest, seconds);
        rssShort = std::max(rssShort, rss);
    }
    if (!Run({tool, "export", folder + "/long.avi", folder + "/out.avi", "-q"}, seconds, rssLong))
        return 1;
    unlink((folder + "/out.avi").c_str());
    std::printf("export of %zu frames 1920x1080 YUY2 (%.0f MB) in %s: %.3f s; plain copy %.3f s; "
                "peak memory %ld kB (%zu frames) and %ld kB (%zu frames)\n",
                frames, mb, folder.c_str(), exportBest, copyBest, rssShort, frames, rssLong,
                frames * 4);
    std::printf("BENCH|kestro export avi 1920x1080 yuy2|%.0f|MB/s|plain copy|%.0f\n",
                mb / exportBest, mb / copyBest);
    std::printf("BENCH|kestro export peak memory, %zu frames (vs %zu)|%ld|kB|%zu frames|%ld\n",
                frames * 4, frames, rssLong, frames, rssShort);
    if (!std::getenv("KESTRO_BENCH_KEEP"))
        std::system(("rm -rf '" + folder + "'").c_str());
    return 0;
}
