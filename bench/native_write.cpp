// The baseline of capture_bench: the same frames written sequentially with write(2), natively.
// Usage: native_write <file> <frame bytes> <total bytes>; prints MB/s.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 4)
        return 2;
    size_t frame = std::strtoull(argv[2], nullptr, 10);
    unsigned long long total = std::strtoull(argv[3], nullptr, 10);
    std::vector<unsigned char> data(frame);
    for (size_t i = 0; i < frame; ++i)
        data[i] = (unsigned char)(i * 7 + (i >> 12));
    int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return 1;
    unsigned long long frames = total / frame;
    auto t0 = std::chrono::steady_clock::now();
    for (unsigned long long f = 0; f < frames; ++f) {
        data[0] = (unsigned char)f;
        if (write(fd, data.data(), frame) != ssize_t(frame))
            return 1;
    }
    close(fd);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    unlink(argv[1]);
    std::printf("%.0f\n", double(frames) * frame / 1e6 / s);
    return 0;
}
