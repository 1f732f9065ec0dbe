// Random messages through the codec manager: every codec message with random formats, random and
// mutated frame records with honest and dishonest sizes, every structure ending at a faulting
// page. The codec may refuse anything but must not crash, hang or touch memory it was not given.
//
// KESTRO_FUZZ_SEED (default 1), KESTRO_FUZZ_ITERATIONS (default 30000, 100000 with KESTRO_LONG=1,
// half for each reader family; 0 = no limit) and KESTRO_FUZZ_SECONDS (default 0 = no limit) choose the run; it stops at
// whichever limit comes first. A count, not a time, by default: every machine then sends the same
// messages, so a failure of a CI run is one that any run of the same tree finds again.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "GuardedBuffer.h"
#include "WineCodec.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 0) : fallback;
}

// What the run is doing, printed when it fails or stops answering.
char g_step[256] = "starting";
volatile LONG g_alive = 0;

void Step(uint64_t iteration, const char* what) {
    std::snprintf(g_step, sizeof g_step, "iteration %llu: %s", (unsigned long long)iteration, what);
    InterlockedIncrement(&g_alive);
}

// Stops the process with the step it was in when no step has begun for a minute.
DWORD WINAPI Watchdog(void*) {
    LONG seen = -1;
    for (;;) {
        Sleep(60000);
        if (g_alive == seen) {
            std::fprintf(stderr, "fuzz: no progress for 60 s in %s\n", g_step);
            std::fflush(stderr);
            ExitProcess(3);
        }
        seen = g_alive;
    }
}

// Seen first, before any handler: the step is printed even when the test framework then takes
// the fault as a failure of the test.
LONG WINAPI ReportFault(EXCEPTION_POINTERS* e) {
    if (e->ExceptionRecord->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        std::fprintf(stderr, "fuzz: access violation at %p in %s\n",
                     e->ExceptionRecord->ExceptionAddress, g_step);
        std::fflush(stderr);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// The smallest faulting-page-backed buffer that holds `bytes`, filled with a copy of them.
std::unique_ptr<kt::GuardedBuffer> AtPageEnd(const Bytes& bytes) {
    auto buffer = std::make_unique<kt::GuardedBuffer>(bytes.size());
    buffer->fill(bytes.data(), bytes.size());
    return buffer;
}

class Fuzzer {
public:
    explicit Fuzzer(uint32_t seed, std::string dir) : random_(seed), dir_(std::move(dir)) {
        for (int i = 0; i < 12; ++i) {
            Bytes frame(6144 + (i % 3) * 50); // YUY2 64x48, or a little more
            for (auto& b : frame)
                b = uint8_t(random_());
            placed_.push_back({file_.size(), uint32_t(frame.size())});
            file_.insert(file_.end(), frame.begin(), frame.end());
            file_.resize((file_.size() + 4095) / 4096 * 4096, 0x5A);
        }
        dataPath_ = dir_ + "\\data.000";
        kt::WriteFileBytes(dataPath_, std::string(file_.begin(), file_.end()));
        kt::WriteFileBytes(dir_ + "\\notes.txt", std::string(20000, 't'));
        CreateDirectoryA((dir_ + "\\folder.000").c_str(), nullptr);
    }

    uint32_t Next(uint32_t below) { return below ? random_() % below : 0; }
    bool OneIn(uint32_t n) { return Next(n) == 0; }

    int32_t Dimension() {
        static const int32_t values[] = {0,  1,     2,      3,      4,     6,         15,       16,
                                         63, 64,    65,     320,    -1,    -2,        -48,      -64,
                                         -7, 70000, -70000, 0x7FFF, 32768, INT32_MAX, INT32_MIN};
        return OneIn(3) ? int32_t(1 + Next(96)) : values[Next(sizeof values / sizeof *values)];
    }
    uint32_t Code() {
        static const uint32_t values[] = {BI_RGB,
                                          BI_BITFIELDS,
                                          kt::kYuy2,
                                          kt::kUyvy,
                                          mmioFOURCC('V', 'Y', 'U', 'Y'),
                                          kt::kKest,
                                          kt::kMrle,
                                          mmioFOURCC('y', 'u', 'y', '2'),
                                          0xFFFFFFFFu};
        return OneIn(8) ? random_() : values[Next(sizeof values / sizeof *values)];
    }
    uint16_t Bits() {
        static const uint16_t values[] = {0, 1, 4, 8, 12, 15, 16, 24, 32, 48, 64, 0xFFFF};
        return values[Next(sizeof values / sizeof *values)];
    }
    static uint64_t DibBytes(int32_t w, int32_t h, uint32_t bits) {
        uint64_t rows = h < 0 ? uint64_t(-int64_t(h)) : uint64_t(h);
        uint64_t width = w < 0 ? uint64_t(-int64_t(w)) : uint64_t(w);
        return (width * bits + 31) / 32 * 4 * rows;
    }

    // A bitmap header (40 bytes or a lying biSize) or a 52-byte stream format with its chained
    // part; the buffer holds exactly what biSize says, and at least the size field.
    Bytes Format(bool stream) {
        BITMAPINFOHEADER h{};
        h.biWidth = Dimension();
        h.biHeight = Dimension();
        h.biPlanes = OneIn(10) ? 0 : 1;
        h.biBitCount = Bits();
        h.biCompression = stream && !OneIn(5) ? kt::kKest : Code();
        uint64_t dib = DibBytes(h.biWidth, h.biHeight, h.biBitCount);
        switch (Next(5)) {
        case 0:
            h.biSizeImage = 0;
            break;
        case 1:
            h.biSizeImage = uint32_t(dib);
            break;
        case 2:
            h.biSizeImage = uint32_t(dib - 1);
            break;
        case 3:
            h.biSizeImage = stream ? 30 : uint32_t(dib * 3 / 4);
            break;
        default:
            h.biSizeImage = random_();
        }
        if (OneIn(6))
            h.biClrUsed = Next(3);
        Bytes chain;
        if (stream && !OneIn(3)) {
            chain = Format(false);
            if (chain.size() < 40)
                chain.clear();
        }
        uint32_t size = stream ? 52 + uint32_t(chain.size()) : 40;
        if (OneIn(6)) {
            static const uint32_t lies[] = {0, 4, 12, 39, 41, 51, 53, 64};
            size = lies[Next(8)];
        }
        h.biSize = size;
        Bytes bytes(std::max<size_t>(size, 4));
        size_t header = std::min<size_t>(bytes.size(), sizeof h);
        std::memcpy(bytes.data(), &h, header);
        std::memcpy(bytes.data(), &size, 4);
        if (stream && bytes.size() >= 52) {
            uint32_t handlers[] = {0, 0, 0, mmioFOURCC('K', 'T', 'S', 'T'), random_()};
            uint32_t fields[3] = {Code(), handlers[Next(5)], uint32_t(chain.size())};
            if (OneIn(5))
                fields[2] = OneIn(2) ? uint32_t(bytes.size() - 52 + 1) : random_();
            std::memcpy(bytes.data() + 40, fields, 12);
            size_t room = bytes.size() - 52;
            if (!chain.empty())
                std::memcpy(bytes.data() + 52, chain.data(), std::min(room, chain.size()));
        }
        return bytes;
    }

    // A record the data file holds, a mutation of one, or one naming something that is no
    // piece of a data file.
    Bytes Record() {
        std::string path = dataPath_;
        uint64_t offset = 0;
        uint32_t size = 0;
        const auto& frame = placed_[Next(uint32_t(placed_.size()))];
        offset = frame.offset;
        size = frame.size;
        switch (Next(12)) {
        case 0:
            path = dir_ + "\\gone.001";
            break;
        case 1:
            path = dir_ + "\\notes.txt";
            break;
        case 2:
            path = dir_ + "\\folder.000";
            break;
        case 3:
            path = "\\\\.\\pipe\\kestro-fuzz.000";
            break;
        case 4:
            path = dir_ + "\\NUL.000";
            break;
        case 5:
            path = dir_ + "\\cap.000";
            break; // the capture side's piece, perhaps being written
        case 6:
            for (auto& c : path)
                c = char(toupper(c));
            break;
        case 7:
            offset = uint64_t(Next(64)) * 4096;
            break;
        case 8:
            size = OneIn(2) ? random_() : Next(70000);
            break;
        case 9:
            offset = (uint64_t(random_()) << 32) | random_();
            break;
        default:
            break;
        }
        Bytes record(16 + path.size() + 1, 0);
        std::memcpy(record.data(), &offset, 8);
        std::memcpy(record.data() + 8, &size, 4);
        std::memcpy(record.data() + 16, path.data(), path.size());
        if (OneIn(3)) {
            int edits = 1 + int(Next(4));
            for (int i = 0; i < edits; ++i) {
                switch (Next(4)) {
                case 0:
                    record[Next(uint32_t(record.size()))] = uint8_t(random_());
                    break;
                case 1:
                    record.resize(Next(uint32_t(record.size()) + 1));
                    break;
                case 2:
                    record.back() = 'q';
                    break; // unterminated
                default:
                    record.insert(record.end(), Next(300), uint8_t('a' + Next(26)));
                }
                if (record.empty())
                    record.push_back(0);
            }
        }
        return record;
    }

    uint32_t Claim(size_t held) {
        // Honest, shorter than the record, or 0; never more than the host holds.
        switch (Next(4)) {
        case 0:
            return 0;
        case 1:
            return Next(uint32_t(held) + 1);
        default:
            return uint32_t(held);
        }
    }

    // Room for the picture the output format describes: biSizeImage when set, else the DIB size.
    // Null when that is more than a test should allocate.
    std::unique_ptr<kt::GuardedBuffer> Picture(const Bytes& format) {
        if (format.size() < 40)
            return std::make_unique<kt::GuardedBuffer>(4096);
        BITMAPINFOHEADER h;
        std::memcpy(&h, format.data(), sizeof h);
        uint64_t bytes =
            h.biSizeImage ? h.biSizeImage : DibBytes(h.biWidth, h.biHeight, h.biBitCount);
        if (bytes > (16u << 20))
            return nullptr;
        return std::make_unique<kt::GuardedBuffer>(size_t(bytes ? bytes : 1));
    }

    void Decompress(HIC hic, uint64_t i) {
        Bytes in = Format(true), out = Format(false);
        auto inBuf = AtPageEnd(in), outBuf = AtPageEnd(out);
        Bytes record = Record();
        // Sometimes the record lies inside a larger buffer of garbage that the host holds.
        if (OneIn(4))
            record.resize(record.size() + Next(400), uint8_t(random_()));
        auto recordBuf = AtPageEnd(record);
        auto picture = Picture(out);
        if (!picture)
            return;
        if (in.size() >= 40) {
            uint32_t claim = Claim(record.size());
            std::memcpy(inBuf->data() + 20, &claim, 4);
        }
        ICDECOMPRESS icd{};
        icd.dwFlags = OneIn(4) ? ICDECOMPRESS_HURRYUP : 0;
        icd.lpbiInput = inBuf->as<BITMAPINFOHEADER>();
        icd.lpInput = recordBuf->data();
        icd.lpbiOutput = outBuf->as<BITMAPINFOHEADER>();
        icd.lpOutput = picture->data();
        Step(i, "ICM_DECOMPRESS");
        if (ICSendMessage(hic, ICM_DECOMPRESS, DWORD_PTR(&icd), sizeof icd) == ICERR_OK)
            ++decoded;
    }

    void Compress(HIC hic, uint64_t i) {
        Bytes in = Format(false), out = Format(!OneIn(4));
        auto inBuf = AtPageEnd(in), outBuf = AtPageEnd(out);
        auto image = Picture(in);
        if (!image || out.size() < 40)
            return;
        Step(i, "ICM_COMPRESS_GET_SIZE");
        LRESULT size = ICSendMessage(hic, ICM_COMPRESS_GET_SIZE, DWORD_PTR(inBuf->data()),
                                     DWORD_PTR(outBuf->data()));
        kt::GuardedBuffer output(size_t(size > 0 && size < (16 << 20) ? size : 512));
        kt::GuardedBuffer ckid(4), flags(4);
        ICCOMPRESS icc{};
        icc.dwFlags = OneIn(2) ? ICCOMPRESS_KEYFRAME : 0;
        icc.lpbiOutput = outBuf->as<BITMAPINFOHEADER>();
        icc.lpOutput = output.data();
        icc.lpbiInput = inBuf->as<BITMAPINFOHEADER>();
        icc.lpInput = image->data();
        icc.lpckid = OneIn(3) ? nullptr : ckid.as<DWORD>();
        icc.lpdwFlags = OneIn(3) ? nullptr : flags.as<DWORD>();
        icc.lFrameNum = LONG(i);
        Step(i, "ICM_COMPRESS");
        if (ICSendMessage(hic, ICM_COMPRESS, DWORD_PTR(&icc), sizeof icc) == ICERR_OK)
            ++compressed;
    }

    // One message with random formats: a pair of formats for the two-format messages, an
    // output format sized by the codec's own answer for the format messages.
    void Message(HIC hic, uint64_t i) {
        static const UINT pairs[] = {ICM_COMPRESS_QUERY,    ICM_COMPRESS_BEGIN,
                                     ICM_DECOMPRESS_QUERY,  ICM_DECOMPRESS_BEGIN,
                                     ICM_COMPRESS_GET_SIZE, ICM_DECOMPRESS_GET_PALETTE};
        switch (Next(10)) {
        case 0:
        case 1:
        case 2: {
            UINT msg = pairs[Next(6)];
            bool streamIn = msg == ICM_DECOMPRESS_QUERY || msg == ICM_DECOMPRESS_BEGIN ||
                            msg == ICM_DECOMPRESS_GET_PALETTE;
            Bytes in = Format(streamIn ? !OneIn(5) : OneIn(5));
            Bytes out = Format(!streamIn && !OneIn(4));
            auto inBuf = AtPageEnd(in), outBuf = AtPageEnd(out);
            Step(i, "format pair message");
            ICSendMessage(hic, msg, DWORD_PTR(inBuf->data()),
                          OneIn(5) ? 0 : DWORD_PTR(outBuf->data()));
            break;
        }
        case 3:
        case 4: {
            UINT msg = OneIn(2) ? ICM_COMPRESS_GET_FORMAT : ICM_DECOMPRESS_GET_FORMAT;
            Bytes in = Format(msg == ICM_DECOMPRESS_GET_FORMAT ? !OneIn(5) : OneIn(5));
            auto inBuf = AtPageEnd(in);
            Step(i, "GET_FORMAT size");
            LRESULT size = ICSendMessage(hic, msg, DWORD_PTR(inBuf->data()), 0);
            if (size <= 0 || size > 65536)
                break;
            // The host's buffer has the size the codec asked for, pre-filled as hosts do.
            Bytes out = Format(false);
            out.resize(size_t(size), 0);
            if (size >= 4) {
                uint32_t biSize = uint32_t(size);
                std::memcpy(out.data(), &biSize, 4);
            }
            auto outBuf = AtPageEnd(out);
            Step(i, "GET_FORMAT");
            ICSendMessage(hic, msg, DWORD_PTR(inBuf->data()), DWORD_PTR(outBuf->data()));
            break;
        }
        case 5: {
            kt::GuardedBuffer info(sizeof(ICINFO));
            Step(i, "ICM_GETINFO");
            ICSendMessage(hic, ICM_GETINFO, DWORD_PTR(info.data()),
                          OneIn(3) ? Next(sizeof(ICINFO)) : sizeof(ICINFO));
            kt::GuardedBuffer state(64), quality(4);
            Step(i, "state and quality");
            ICSendMessage(hic, ICM_GETSTATE, DWORD_PTR(state.data()), 64);
            ICSendMessage(hic, ICM_SETSTATE, DWORD_PTR(state.data()), Next(65));
            ICSendMessage(hic, ICM_GETDEFAULTQUALITY, DWORD_PTR(quality.data()), 0);
            ICSendMessage(hic, ICM_CONFIGURE, DWORD_PTR(-1), 0);
            ICSendMessage(hic, ICM_ABOUT, DWORD_PTR(-1), 0);
            Step(i, "unknown message");
            ICSendMessage(hic, DRV_USER + 0x7000 + Next(0x100), random_(), random_());
            break;
        }
        case 6:
            Step(i, "ends");
            ICSendMessage(hic, OneIn(2) ? ICM_DECOMPRESS_END : ICM_COMPRESS_END, 0, 0);
            break;
        case 7:
            Compress(hic, i);
            break;
        default:
            Decompress(hic, i);
        }
    }

    // The first bytes of a good format, biSize saying how many: shorter than a bitmap header, or
    // (for stream formats) than the 52-byte stream format.
    std::unique_ptr<kt::GuardedBuffer> Cut(const void* format, bool stream) {
        static const uint32_t sizes[] = {4, 12, 16, 23, 39, 40, 51};
        uint32_t n = sizes[Next(stream ? 7 : 5)];
        auto buffer = std::make_unique<kt::GuardedBuffer>(n);
        buffer->fill(format, n);
        std::memcpy(buffer->data(), &n, 4);
        return buffer;
    }

    static Bytes Yuy2Stream(LONG height) {
        Bytes stream(52, 0);
        BITMAPINFOHEADER h{52, 64, height, 1, 16, kt::kKest, 30, 0, 0, 0, 0};
        std::memcpy(stream.data(), &h, 40);
        uint32_t source = kt::kYuy2;
        std::memcpy(stream.data() + 40, &source, 4);
        return stream;
    }

    // A run the codec accepts, so that records reach the readers and not only the checks; some
    // of its frames carry formats cut short, which a begun run must read as warily as a begin.
    void BeginGoodRun(HIC hic, uint64_t i) {
        Bytes stream = Yuy2Stream(OneIn(2) ? 48 : -48);
        static const WORD bits[] = {16, 24, 32};
        WORD b = bits[Next(3)];
        BITMAPINFOHEADER out{40, 64, 48, 1, b, b == 16 ? kt::kYuy2 : DWORD(BI_RGB), 0, 0, 0, 0, 0};
        Step(i, "good ICM_DECOMPRESS_BEGIN");
        ICSendMessage(hic, ICM_DECOMPRESS_BEGIN, DWORD_PTR(stream.data()), DWORD_PTR(&out));
        for (int n = int(Next(6)); n > 0; --n) {
            Bytes record = Record();
            auto recordBuf = AtPageEnd(record);
            uint32_t claim = Claim(record.size());
            std::memcpy(stream.data() + 20, &claim, 4);
            kt::GuardedBuffer picture(size_t(64) * 48 * b / 8);
            auto shortIn = OneIn(4) ? Cut(stream.data(), true) : nullptr;
            auto shortOut = OneIn(6) ? Cut(&out, false) : nullptr;
            ICDECOMPRESS icd{0,
                             shortIn ? shortIn->as<BITMAPINFOHEADER>()
                                     : reinterpret_cast<BITMAPINFOHEADER*>(stream.data()),
                             recordBuf->data(),
                             shortOut ? shortOut->as<BITMAPINFOHEADER>() : &out,
                             picture.data(),
                             0};
            Step(i, shortIn || shortOut ? "good-run ICM_DECOMPRESS, formats cut short"
                                        : "good-run ICM_DECOMPRESS");
            if (ICSendMessage(hic, ICM_DECOMPRESS, DWORD_PTR(&icd), sizeof icd) == ICERR_OK)
                ++decoded;
        }
    }

    // A capture run the codec accepts, its frames now and then with formats cut short.
    void BeginGoodCapture(HIC hic, uint64_t i) {
        BITMAPINFOHEADER in{40, 64, 48, 1, 16, kt::kYuy2, 64 * 48 * 2, 0, 0, 0, 0};
        Bytes stream = Yuy2Stream(48);
        Step(i, "good ICM_COMPRESS_BEGIN");
        ICSendMessage(hic, ICM_COMPRESS_BEGIN, DWORD_PTR(&in), DWORD_PTR(stream.data()));
        for (int n = int(Next(4)); n > 0; --n) {
            kt::GuardedBuffer image(64 * 48 * 2), output(64 * 48 * 3);
            auto shortIn = OneIn(3) ? Cut(&in, false) : nullptr;
            auto shortOut = OneIn(3) ? Cut(stream.data(), false) : nullptr;
            DWORD ckid = 0, flags = 0;
            ICCOMPRESS icc{};
            icc.lpbiOutput = shortOut ? shortOut->as<BITMAPINFOHEADER>()
                                      : reinterpret_cast<BITMAPINFOHEADER*>(stream.data());
            icc.lpOutput = output.data();
            icc.lpbiInput = shortIn ? shortIn->as<BITMAPINFOHEADER>() : &in;
            icc.lpInput = image.data();
            icc.lpckid = &ckid;
            icc.lpdwFlags = &flags;
            Step(i, shortIn || shortOut ? "good-run ICM_COMPRESS, formats cut short"
                                        : "good-run ICM_COMPRESS");
            if (ICSendMessage(hic, ICM_COMPRESS, DWORD_PTR(&icc), sizeof icc) == ICERR_OK)
                ++compressed;
        }
    }

    // Frames the codec accepted: a run that never gets past the checks fuzzes only the checks.
    uint64_t decoded = 0, compressed = 0;

private:
    struct Frame {
        uint64_t offset;
        uint32_t size;
    };
    std::mt19937 random_;
    std::string dir_, dataPath_;
    Bytes file_;
    std::vector<Frame> placed_;
};

TEST(CodecFuzz, RandomMessagesFormatsAndRecords) {
    const uint32_t seed = uint32_t(EnvNumber("KESTRO_FUZZ_SEED", 1));
    const uint64_t iterations = EnvNumber("KESTRO_FUZZ_ITERATIONS", kt::LongCount(30000, 100000));
    const uint64_t seconds = EnvNumber("KESTRO_FUZZ_SECONDS", 0);
    std::string dir = kt::DataDir("fuzz");
    void* handler = AddVectoredExceptionHandler(1, ReportFault);
    for (bool fast : {true, false}) {
        kt::WriteIni({{"fastread", fast ? "1" : "0"}, {"filename", dir + "\\cap"}});
        HANDLE watchdog = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
        Fuzzer fuzzer(seed + (fast ? 0 : 1), dir);
        const DWORD start = GetTickCount();
        uint64_t execs = 0;
        kt::Hic hic;
        for (uint64_t i = 0; iterations == 0 || i < iterations / 2; ++i) {
            if (seconds != 0 && GetTickCount() - start > seconds * 1000 / 2)
                break;
            if (!hic || fuzzer.OneIn(200)) {
                Step(i, "close and open");
                hic = kt::Hic(ICOpen(ICTYPE_VIDEO, kt::kKest, ICMODE_DECOMPRESS));
                ASSERT_TRUE(hic);
            }
            if (fuzzer.OneIn(10))
                fuzzer.BeginGoodRun(hic.get(), i);
            else if (fuzzer.OneIn(20))
                fuzzer.BeginGoodCapture(hic.get(), i);
            else
                fuzzer.Message(hic.get(), i);
            ++execs;
        }
        Step(execs, "closing");
        hic.reset();
        TerminateThread(watchdog, 0);
        CloseHandle(watchdog);
        std::printf("fuzz: %s reader, seed %u: %llu execs in %lu ms (%llu frames decoded, %llu "
                    "compressed), no crash\n",
                    fast ? "fast" : "plain", seed + (fast ? 0 : 1), (unsigned long long)execs,
                    (unsigned long)(GetTickCount() - start), (unsigned long long)fuzzer.decoded,
                    (unsigned long long)fuzzer.compressed);
        EXPECT_GT(fuzzer.decoded, 0u);
        EXPECT_GT(fuzzer.compressed, 0u);
        kt::RemoveIni();
    }
    RemoveVectoredExceptionHandler(handler);
}

} // namespace
