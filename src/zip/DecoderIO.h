#pragma once
// The plumbing every decoder shares: chunked input with progress, an LSB-first bit reader over it, and
// the output side that counts, checks against the declared size, sums the CRC-32 and feeds the sink.

#include "zip/Decoders.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace zipdecode::detail {

constexpr qint64 kInChunk = 64 * 1024;

// Compressed bytes in chunks of kInChunk, never more than the entry's compressed size.
class Input
{
public:
    Input(const ReadFn& read, quint64 compressedSize, const ProgressFn& progress)
        : m_read(read), m_left(compressedSize), m_progress(progress), m_buf(size_t(kInChunk) + 8)
    {
    }
    // Reads the next chunk; false at the end of the data or on failure (then status() says which).
    bool fill()
    {
        if (m_left == 0 || m_status)
            return false;
        const qint64 want = qint64(std::min<quint64>(m_left, quint64(kInChunk)));
        const qint64 got = m_read(reinterpret_cast<char*>(m_buf.data()), want);
        if (got <= 0 || got > want) {
            m_status = CannotRead;
            return false;
        }
        m_left -= quint64(got);
        if (m_progress && !m_progress(got)) {
            m_status = Aborted;
            return false;
        }
        p = m_buf.data();
        end = p + got;
        return true;
    }
    bool atEnd() const { return p == end && m_left == 0; }
    int status() const { return m_status; }
    void fail(int status)
    {
        if (!m_status)
            m_status = status;
    }

    const uint8_t* p = nullptr;
    const uint8_t* end = nullptr;

private:
    const ReadFn& m_read;
    quint64 m_left;
    const ProgressFn& m_progress;
    std::vector<uint8_t> m_buf;
    int m_status = Ok;
};

// LSB-first bits. Past the end of the input it supplies zero bytes and counts them: a decoder that
// consumes those has read a truncated stream, and one that keeps going is stopped by overrun().
class BitReader
{
public:
    explicit BitReader(Input& in) : m_in(in) {}

    // At least 56 bits in the buffer afterwards.
    inline void refill()
    {
        if (m_count > 56)
            return;
        if (m_in.end - m_in.p >= 8) {
            uint64_t v;
            std::memcpy(&v, m_in.p, 8);
            m_buf |= v << m_count;
            m_in.p += (63 - m_count) >> 3;
            m_count |= 56;
            return;
        }
        slowRefill();
    }
    inline uint32_t peek(int n) const { return uint32_t(m_buf & ((uint64_t(1) << n) - 1)); }
    inline void drop(int n)
    {
        m_buf >>= n;
        m_count -= n;
    }
    // n <= 32
    inline uint32_t bits(int n)
    {
        refill();
        const uint32_t v = peek(n);
        drop(n);
        return v;
    }
    // Whole bytes at a byte boundary (stored blocks, tree descriptions).
    void alignToByte() { drop(m_count & 7); }
    int available() const { return m_count; }
    // n whole bytes at a byte boundary, from the bit buffer first and then straight from the input;
    // false when the input ends first.
    bool readBytes(uint8_t* dst, size_t n)
    {
        while (n > 0 && m_count >= 8) {
            if (m_count <= m_padBytes * 8)
                return false;
            *dst++ = uint8_t(m_buf);
            drop(8);
            --n;
        }
        if (n > 0)
            m_buf = 0; // drop look-ahead bits: the bytes they mirror are now copied directly
        while (n > 0) {
            if (m_in.p == m_in.end && !m_in.fill())
                return false;
            const size_t k = std::min<size_t>(n, size_t(m_in.end - m_in.p));
            std::memcpy(dst, m_in.p, k);
            m_in.p += k;
            dst += k;
            n -= k;
        }
        return true;
    }
    // True once the decoder has consumed bits that were never in the input.
    bool truncated() const { return m_count < m_padBytes * 8; }
    // True once the input has run far past its end: no valid stream reads this far.
    bool overrun() const { return m_padBytes > 16 || m_in.status(); }
    int status() const
    {
        if (m_in.status())
            return m_in.status();
        return truncated() ? HeaderDamaged : Ok;
    }
    // A decoder's verdict with the stream's end taken into account: whatever a decoder made of bits that
    // were never in the input, a stream cut short is data that cannot be decoded (410), at any size.
    int verdict(int rc) const { return rc == DataDamaged && truncated() ? HeaderDamaged : rc; }

private:
    void slowRefill()
    {
        while (m_count <= 56) {
            if (m_in.p == m_in.end && !m_in.fill()) {
                ++m_padBytes;
                m_count += 8;
                continue;
            }
            m_buf |= uint64_t(*m_in.p++) << m_count;
            m_count += 8;
        }
    }

    Input& m_in;
    uint64_t m_buf = 0;
    int m_count = 0;
    int m_padBytes = 0;
};

// Output bytes between two progress points: a stream that makes much from little input (or from none,
// once a decoder runs on past its end) still hears an abort within a few milliseconds.
constexpr quint64 kOutputPoint = 256 * 1024;

// The decoded bytes: counted against the declared size, summed into the CRC-32, handed to the sink.
class Output
{
public:
    Output(quint64 size, quint32 expectedCrc, const Sink& sink, const ProgressFn& progress)
        : m_size(size), m_crc(expectedCrc), m_sink(sink), m_progress(progress)
    {
    }
    quint64 written() const { return m_written; }
    quint64 left() const { return m_size - m_written; }
    // false (with status()) when the bytes go past the declared size, the sink refuses them or progress
    // asks to stop.
    bool write(const uint8_t* data, size_t len);
    int status() const { return m_status; }
    // The verdict once the stream has ended: size and CRC-32.
    int finish() const;

private:
    quint64 m_size;
    quint32 m_crc;
    const Sink& m_sink;
    const ProgressFn& m_progress;
    quint64 m_sincePoint = 0;
    quint64 m_written = 0;
    quint32 m_sum = 0;
    int m_status = Ok;
};

// A sliding window for the LZ decoders: history of `window` bytes in front of the bytes being made,
// flushed to the output in large pieces. Bytes before the start of the entry read as zeros.
class Window
{
public:
    Window(size_t window, size_t maxMatch, Output& out)
        : m_window(window), m_room(std::max<size_t>(256 * 1024, window)), m_maxMatch(maxMatch), m_out(out),
          m_buf(window + m_room + maxMatch + 64, 0)
    {
        pos = window;
        m_flushed = window;
    }
    // Makes room for at least maxMatch more bytes at pos; false when the output fails.
    inline bool reserve()
    {
        if (pos + m_maxMatch <= m_window + m_room)
            return true;
        return slide();
    }
    bool flush()
    {
        const bool ok = m_out.write(m_buf.data() + m_flushed, pos - m_flushed);
        m_flushed = pos;
        return ok;
    }
    // Bytes made so far but not yet flushed.
    size_t pending() const { return pos - m_flushed; }
    uint8_t* data() { return m_buf.data(); }

    size_t pos = 0;

private:
    bool slide()
    {
        if (!flush())
            return false;
        std::memmove(m_buf.data(), m_buf.data() + pos - m_window, m_window);
        pos = m_window;
        m_flushed = pos;
        return true;
    }

    size_t m_window;
    size_t m_room;
    size_t m_maxMatch;
    Output& m_out;
    std::vector<uint8_t> m_buf;
    size_t m_flushed = 0;
};

// Copies len bytes from dist back, overlapping as LZ77 means it.
inline void copyMatch(uint8_t* dst, size_t dist, size_t len)
{
    // A short distance repeats a short pattern: double it until 8-byte steps read only bytes already
    // made (the data then repeats with twice the distance as well).
    while (dist < 8 && len > 0) {
        const size_t n = std::min(dist, len);
        std::memcpy(dst, dst - dist, n);
        dst += n;
        len -= n;
        dist *= 2;
    }
    // 8 bytes at a time; the window keeps slack for the overshoot past len.
    const uint8_t* src = dst - dist;
    for (size_t i = 0; i < len; i += 8) {
        uint64_t v;
        std::memcpy(&v, src + i, 8);
        std::memcpy(dst + i, &v, 8);
    }
}

// Decoders by family; each returns a Result.
int inflate(Input& in, Output& out, bool deflate64);
int unshrink(Input& in, Output& out);
int unreduce(Input& in, Output& out, int factor);
int explode(Input& in, Output& out, quint16 flags);
int decodeWithLibrary(quint16 method, quint16 flags, Input& in, Output& out);
int unppmd(Input& in, Output& out, quint16 flags, quint64 compressedSize, quint32 crc);

} // namespace zipdecode::detail
