#pragma once
// Shared by the libFuzzer targets and the program that writes their seeds: the byte layout of a
// structured input (little-endian fields read from the front; an input that runs out reads
// zeros), the check that turns a broken promise into a crash libFuzzer keeps, and a file in
// memory.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <sanitizer/common_interface_defs.h>

#include "AviRecords.h"

// A failed oracle: libFuzzer saves the input that made it fail. The message goes where the
// sanitizers report, which stays open when libFuzzer closes the target's standard error.
#define FUZZ_CHECK(cond, what)                                                                     \
    do {                                                                                           \
        if (!(cond))                                                                               \
            fuzz::Fail(__FILE__, __LINE__, #cond, std::string(what));                              \
    } while (0)

namespace fuzz {

[[noreturn]] inline void Fail(const char* file, int line, const char* cond,
                              const std::string& what) {
    const std::string text = std::string("fuzz check failed at ") + file + ":" +
                             std::to_string(line) + ": " + cond + " (" + what + ")";
    __sanitizer_report_error_summary(text.c_str());
    std::abort();
}

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : p_(data), left_(size) {}
    size_t left() const { return left_; }
    uint8_t U8() { return uint8_t(Take(1)); }
    uint16_t U16() { return uint16_t(Take(2)); }
    uint32_t U32() { return uint32_t(Take(4)); }
    uint64_t U64() { return Take(8); }
    // A block of at most `limit` bytes, its length first (16 bits).
    std::vector<uint8_t> Block(size_t limit) {
        size_t n = U16();
        if (n > limit)
            n = limit;
        if (n > left_)
            n = left_;
        std::vector<uint8_t> out(p_, p_ + n);
        p_ += n, left_ -= n;
        return out;
    }
    std::string Text(size_t limit) {
        auto b = Block(limit);
        return std::string(b.begin(), b.end());
    }
    std::vector<uint8_t> Rest() {
        std::vector<uint8_t> out(p_, p_ + left_);
        p_ += left_, left_ = 0;
        return out;
    }

private:
    uint64_t Take(int bytes) {
        uint64_t v = 0;
        for (int i = 0; i < bytes && left_ > 0; ++i, ++p_, --left_)
            v |= uint64_t(*p_) << (8 * i);
        return v;
    }
    const uint8_t* p_;
    size_t left_;
};

// The inverse of Reader, for the seed writer.
class Writer {
public:
    Writer& U8(uint8_t v) { return Put(v, 1); }
    Writer& U16(uint16_t v) { return Put(v, 2); }
    Writer& U32(uint32_t v) { return Put(v, 4); }
    Writer& U64(uint64_t v) { return Put(v, 8); }
    Writer& Block(const std::vector<uint8_t>& b) {
        U16(uint16_t(b.size()));
        bytes.insert(bytes.end(), b.begin(), b.end());
        return *this;
    }
    Writer& Text(std::string_view s) { return Block(std::vector<uint8_t>(s.begin(), s.end())); }
    Writer& Raw(const std::vector<uint8_t>& b) {
        bytes.insert(bytes.end(), b.begin(), b.end());
        return *this;
    }
    std::vector<uint8_t> bytes;

private:
    Writer& Put(uint64_t v, int n) {
        for (int i = 0; i < n; ++i)
            bytes.push_back(uint8_t(v >> (8 * i)));
        return *this;
    }
};

// A file in memory. Reads past the end fail, as pread's short reads do for the tool; writes may
// be made to fail from a given byte on (a full disk).
class MemoryFile : public kestro::avi::ByteFile {
public:
    explicit MemoryFile(std::vector<uint8_t> bytes = {}) : bytes(std::move(bytes)) {}
    uint64_t Size() override { return bytes.size(); }
    bool ReadAt(uint64_t offset, void* data, size_t n) override {
        if (offset > bytes.size() || n > bytes.size() - offset)
            return false;
        if (n)
            std::memcpy(data, bytes.data() + offset, n);
        return true;
    }
    bool WriteAt(uint64_t offset, const void* data, size_t n) override {
        if (readOnly || offset + n > writeLimit)
            return false;
        if (offset + n > bytes.size())
            bytes.resize(offset + n);
        if (n)
            std::memcpy(bytes.data() + offset, data, n);
        return true;
    }
    std::vector<uint8_t> bytes;
    bool readOnly = false;
    uint64_t writeLimit = UINT64_MAX;
};

} // namespace fuzz
