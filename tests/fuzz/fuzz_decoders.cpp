// Feeds arbitrary bytes to every decoder. Input layout: method selector, general-purpose flags, read
// chunk size, declared size (3 bytes, little-endian), then the compressed data. A selector of 128 or more
// adds a huge power of two (2^40 to 2^63) to the declared size, as a hostile zip64 entry would: no decoder
// may run or allocate in proportion to it. Besides crashes, hangs and leaks it catches output beyond the
// declared size and success with the wrong size.
//
// Run: fuzz_decoders -max_total_time=600 -rss_limit_mb=2048 <work corpus folder> tests/fuzz/corpus

#include "zip/Decoders.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const quint16 methods[] = {0, 1, 2, 3, 4, 5, 6, 8, 9, 12, 14, 93, 95, 98};
    if (size < 6)
        return 0;
    const quint16 method = methods[data[0] % (sizeof methods / sizeof methods[0])];
    const quint16 flags = data[1];
    const qint64 chunk = 1 + qint64(data[2]) * 64;
    quint64 declared = quint64(data[3]) | quint64(data[4]) << 8 | quint64(data[5]) << 16;
    if (data[0] & 0x80)
        declared |= quint64(1) << (40 + data[0] % 24);
    const uint8_t* in = data + 6;
    const qint64 len = qint64(size - 6);
    qint64 at = 0;
    const zipdecode::ReadFn read = [&](char* dest, qint64 max) -> qint64 {
        const qint64 n = std::min({max, chunk, len - at});
        if (n <= 0)
            abort(); // never asked for more than the compressed size
        std::memcpy(dest, in + at, size_t(n));
        at += n;
        return n;
    };
    quint64 written = 0;
    const zipdecode::Sink sink = [&](const char*, qint64 n) {
        written += quint64(n);
        return true;
    };
    const int rc = zipdecode::decodeEntryData(method, flags, read, quint64(len), declared, 0, sink, {});
    // Never more output than declared, and success only with exactly the declared size.
    if (written > declared || (rc == zipdecode::Ok && written != declared))
        abort();
    return 0;
}
