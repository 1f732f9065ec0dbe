#include "ToolFixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <ctime>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "Kestro.h"
#include "pure/PixelKind.h"

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

RunResult RunKestro(const std::vector<std::string>& args) {
    char outName[] = "/tmp/kestro-out-XXXXXX";
    char errName[] = "/tmp/kestro-err-XXXXXX";
    int outFd = mkstemp(outName), errFd = mkstemp(errName);
    std::fflush(stdout);
    std::fflush(stderr);
    int savedOut = dup(1), savedErr = dup(2);
    dup2(outFd, 1);
    dup2(errFd, 2);
    std::vector<std::string> copy{"kestro"};
    copy.insert(copy.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    RunResult result;
    result.code = kestro::tool::Main(int(copy.size()), argv.data());
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(savedOut);
    close(savedErr);
    close(outFd);
    close(errFd);
    result.out = Slurp(outName);
    result.err = Slurp(errName);
    unlink(outName);
    unlink(errName);
    return result;
}

std::vector<uint8_t> Shell(const std::string& command, int* status) {
    std::vector<uint8_t> out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) {
        if (status)
            *status = -1;
        return out;
    }
    uint8_t block[65536];
    size_t n;
    while ((n = fread(block, 1, sizeof block, p)) > 0)
        out.insert(out.end(), block, block + n);
    int s = pclose(p);
    if (status)
        *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    return out;
}

pid_t SpawnKestro(const std::vector<std::string>& args, const std::string& out,
                  const std::string& err, int outFd) {
    std::vector<std::string> copy{KESTRO_TOOL};
    copy.insert(copy.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

double Seconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

int LongCount(int normal, int longer) {
    const char* value = std::getenv("KESTRO_LONG");
    return value && std::string(value) == "1" ? longer : normal;
}

int WaitForExit(pid_t pid, double seconds, double* took, long* peakKb) {
    const double t0 = Seconds();
    int status = 0;
    pid_t done = 0;
    struct rusage usage {};
    while ((done = wait4(pid, &status, WNOHANG, &usage)) == 0 && Seconds() - t0 < seconds)
        usleep(1000);
    if (peakKb)
        *peakKb = usage.ru_maxrss;
    if (took)
        *took = Seconds() - t0;
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool HasOpen(pid_t pid, const std::string& path) {
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved))
        return false;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(fds.c_str());
    if (!d)
        return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        char target[PATH_MAX];
        ssize_t n = readlink((fds + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, size_t(n)) == resolved)
            found = true;
    }
    closedir(d);
    return found;
}

bool WaitUntil(const std::function<bool()>& done, double seconds) {
    const double t0 = Seconds();
    while (!done()) {
        if (Seconds() - t0 > seconds)
            return false;
        usleep(1000);
    }
    return true;
}

void ToolTest::SetUp() {
    char name[] = "/tmp/kestro-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir = name;
}

void ToolTest::TearDown() {
    if (!dir.empty())
        std::system(("rm -rf '" + dir + "'").c_str());
}

uint32_t ToolTest::StoredBytes(const RawCapture& c) {
    const uint32_t h = uint32_t(c.height < 0 ? -c.height : c.height);
    if (c.source == 0)
        return ((uint32_t(c.width) * (c.bits / 8u) + 3) & ~3u) * h;
    if (c.source == kestro::MakeFourcc('v', '2', '1', '0')) // rows of whole 128-byte blocks
        return (uint32_t(c.width) + 47) / 48 * 128 * h;
    // YUV rows unpadded: 2 bytes a pixel, Y800 1, and the 4:2:0 kinds' planes 3/2 a pixel.
    return uint32_t(uint64_t(c.width) * c.bits * h / 8);
}

std::vector<uint8_t> ToolTest::StoredFrame(const RawCapture& c, size_t i) {
    std::vector<uint8_t> f(StoredBytes(c));
    uint32_t x = uint32_t(i * 2654435761u + 12345);
    for (auto& b : f) {
        x = x * 1103515245u + 12345u;
        b = uint8_t(x >> 24);
    }
    return f;
}

std::vector<uint8_t> ToolTest::UprightFrame(const RawCapture& c, size_t i) {
    auto stored = StoredFrame(c, i);
    if (c.source != 0)
        return stored;
    const size_t h = size_t(c.height < 0 ? -c.height : c.height);
    const size_t row = size_t(c.width) * (c.bits / 8u), stride = (row + 3) & ~size_t(3);
    std::vector<uint8_t> out;
    for (size_t y = 0; y < h; ++y) {
        size_t from = c.height > 0 ? h - 1 - y : y; // bottom-up DIBs keep the last row first
        out.insert(out.end(), stored.begin() + long(from * stride),
                   stored.begin() + long(from * stride + row));
    }
    return out;
}

synth::AviPlan ToolTest::MakeRawCapture(const RawCapture& c, const std::string& pieceDir,
                                        const std::string& avi) {
    synth::AviPlan plan;
    plan.format = synth::StreamFormat(c.width, c.height, c.source, c.bits);
    plan.scale = c.scale;
    plan.rate = c.rate;
    plan.start = c.start;
    const uint32_t span = (StoredBytes(c) + 4095) & ~4095u;
    std::string leaf = c.base.substr(c.base.rfind('\\') + 1);
    for (size_t piece = 0; piece * c.framesPerPiece < c.frames; ++piece) {
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, ".%03zu", piece);
        std::vector<uint8_t> bytes;
        for (size_t k = 0; k < c.framesPerPiece && piece * c.framesPerPiece + k < c.frames; ++k) {
            const size_t i = piece * c.framesPerPiece + k;
            auto f = StoredFrame(c, i);
            f.resize(span, 0xEE); // padding holds whatever the buffer held
            plan.records.push_back(synth::Record(bytes.size(), StoredBytes(c), c.base + suffix));
            bytes.insert(bytes.end(), f.begin(), f.end());
        }
        synth::WriteFile(pieceDir + "/" + leaf + suffix, bytes);
    }
    if (c.audio) {
        plan.withAudio = true;
        for (size_t i = 0; i < c.frames; ++i) {
            std::vector<uint8_t> chunk(1600 * 4); // 1/30 s of 48 kHz stereo 16-bit
            for (size_t k = 0; k < chunk.size(); ++k)
                chunk[k] = uint8_t(k * 31 + i * 7);
            plan.audio.chunks.push_back(chunk);
        }
    }
    synth::WriteFile(avi, synth::BuildAvi(plan));
    return plan;
}
