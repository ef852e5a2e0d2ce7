// bzip2, LZMA, xz and zstd through their libraries, fed chunk by chunk with a fixed output buffer.
#include "zip/DecoderIO.h"

#include <bzlib.h>
#include <lzma.h>
#include <zstd.h>
#include <zstd_errors.h>

namespace zipdecode::detail {
namespace {

constexpr size_t kOutChunk = 256 * 1024;
// xz and zstd streams that need more than this to decode are left untested rather than called damaged.
constexpr uint64_t kMemoryLimit = uint64_t(256) << 20;

int bunzip(Input& in, Output& out)
{
    bz_stream s{};
    if (BZ2_bzDecompressInit(&s, 0, 0) != BZ_OK)
        return Unsupported;
    std::vector<char> buf(kOutChunk);
    int rc = Ok;
    for (;;) {
        if (s.avail_in == 0 && (in.p != in.end || in.fill())) {
            s.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.p));
            s.avail_in = unsigned(in.end - in.p);
            in.p = in.end;
        }
        const bool noMoreInput = s.avail_in == 0;
        s.next_out = buf.data();
        s.avail_out = unsigned(buf.size());
        const int r = BZ2_bzDecompress(&s);
        const size_t made = buf.size() - s.avail_out;
        if (!out.write(reinterpret_cast<const uint8_t*>(buf.data()), made)) {
            rc = out.status();
            break;
        }
        if (r == BZ_STREAM_END)
            break;
        if (r == BZ_MEM_ERROR) {
            rc = Unsupported;
            break;
        }
        if (r != BZ_OK || (noMoreInput && made == 0)) {
            rc = HeaderDamaged; // bad data, or the stream ends before its end marker
            break;
        }
    }
    BZ2_bzDecompressEnd(&s);
    return rc;
}

// Runs an initialised liblzma decoder over the rest of the input.
int runLzma(lzma_stream& s, Input& in, Output& out)
{
    std::vector<uint8_t> buf(kOutChunk);
    for (;;) {
        if (s.avail_in == 0 && (in.p != in.end || in.fill())) {
            s.next_in = in.p;
            s.avail_in = size_t(in.end - in.p);
            in.p = in.end;
        }
        const lzma_action action = s.avail_in == 0 ? LZMA_FINISH : LZMA_RUN;
        s.next_out = buf.data();
        s.avail_out = buf.size();
        const lzma_ret r = lzma_code(&s, action);
        if (!out.write(buf.data(), buf.size() - s.avail_out))
            return out.status();
        if (r == LZMA_STREAM_END)
            return Ok;
        if (r == LZMA_MEMLIMIT_ERROR || r == LZMA_OPTIONS_ERROR || r == LZMA_MEM_ERROR)
            return Unsupported;
        if (r != LZMA_OK)
            return HeaderDamaged;
    }
}

// LZMA in a ZIP entry: version (2 bytes), size of the properties (2 bytes, 5), the properties, then the
// raw stream. Flag bit 1 says the stream ends with an end marker; otherwise the entry's size ends it.
// Fed to the .lzma decoder behind a header made from the properties; the dictionary is cut to the
// entry's size, which decodes the same and bounds the memory.
int unlzma(Input& in, Output& out, quint16 flags)
{
    uint8_t head[9];
    size_t got = 0;
    while (got < sizeof head) {
        if (in.p == in.end && !in.fill())
            return in.status() ? in.status() : HeaderDamaged;
        const size_t k = std::min<size_t>(sizeof head - got, size_t(in.end - in.p));
        std::memcpy(head + got, in.p, k);
        in.p += k;
        got += k;
    }
    // Properties beyond lc 8, lp 4, pb 4 mean nothing; valid ones liblzma refuses (lc + lp > 4) are
    // left untested.
    if (head[2] != 5 || head[3] != 0 || head[4] > (4 * 5 + 4) * 9 + 8)
        return HeaderDamaged;
    uint8_t alone[13];
    std::memcpy(alone, head + 4, 5);
    const quint64 size = out.left();
    uint32_t dict = uint32_t(alone[1]) | uint32_t(alone[2]) << 8 | uint32_t(alone[3]) << 16 | uint32_t(alone[4]) << 24;
    dict = uint32_t(std::min<quint64>(dict, std::max<quint64>(size, 4096)));
    for (int i = 0; i < 4; ++i)
        alone[1 + i] = uint8_t(dict >> (8 * i));
    const bool endMarker = flags & 0x02;
    for (int i = 0; i < 8; ++i)
        alone[5 + i] = endMarker ? 0xff : uint8_t(size >> (8 * i));
    lzma_stream s = LZMA_STREAM_INIT;
    if (lzma_alone_decoder(&s, kMemoryLimit) != LZMA_OK)
        return Unsupported;
    s.next_in = alone; // the decoder reads the made-up header first, then the entry's stream
    s.avail_in = sizeof alone;
    const int rc = runLzma(s, in, out);
    lzma_end(&s);
    return rc;
}

int unxz(Input& in, Output& out)
{
    lzma_stream s = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&s, kMemoryLimit, 0) != LZMA_OK)
        return Unsupported;
    const int rc = runLzma(s, in, out);
    lzma_end(&s);
    return rc;
}

// The first bytes of each zstd frame, kept so that a frame the decoder refuses for its window can be judged:
// a window log above the largest any zstd writer or reader knows (ZSTD_WINDOWLOG_MAX, 2 GiB) is a corrupt
// field, so damage; a window merely above our memory limit is left untested.
class FrameHead
{
public:
    // Copies what the header still lacks from src, whose first byte lies at stream offset base.
    void see(quint64 base, const ZSTD_inBuffer& src)
    {
        const quint64 next = m_start + m_len;
        if (m_len == sizeof m_bytes || next < base || next >= base + src.size)
            return;
        const size_t at = size_t(next - base);
        const size_t k = std::min(sizeof m_bytes - m_len, src.size - at);
        std::memcpy(m_bytes + m_len, static_cast<const uint8_t*>(src.src) + at, k);
        m_len += k;
    }
    // The next frame starts at stream offset at.
    void restart(quint64 at)
    {
        m_start = at;
        m_len = 0;
    }
    int windowVerdict(quint64 declaredSize) const
    {
        constexpr uint32_t kMagic = 0xFD2FB528;
        constexpr int kWindowLogMax = 31; // the largest window zstd writes or reads, on any machine
        if (m_len < 6 || (uint32_t(m_bytes[0]) | uint32_t(m_bytes[1]) << 8 | uint32_t(m_bytes[2]) << 16 |
                          uint32_t(m_bytes[3]) << 24) != kMagic)
            return Unsupported; // not the whole header: no verdict
        const uint8_t descriptor = m_bytes[4];
        if (!(descriptor & 0x20)) // a window descriptor: exponent in the top five bits
            return 10 + (m_bytes[5] >> 3) > kWindowLogMax ? HeaderDamaged : Unsupported;
        // A single-segment frame's window is its content size: more than the entry holds is damage.
        static constexpr size_t kDictionaryIdBytes[4] = {0, 1, 2, 4};
        static constexpr size_t kContentBytes[4] = {1, 2, 4, 8};
        const size_t at = 5 + kDictionaryIdBytes[descriptor & 3];
        const size_t n = kContentBytes[descriptor >> 6];
        if (at + n > m_len)
            return Unsupported;
        quint64 content = 0;
        for (size_t i = 0; i < n; ++i)
            content |= quint64(m_bytes[at + i]) << (8 * i);
        if (n == 2)
            content += 256;
        return content > declaredSize ? HeaderDamaged : Unsupported;
    }

private:
    uint8_t m_bytes[18] = {}; // the longest frame header
    size_t m_len = 0;
    quint64 m_start = 0;
};

int unzstd(Input& in, Output& out)
{
    ZSTD_DStream* d = ZSTD_createDStream();
    if (!d)
        return Unsupported;
    ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax, 27);
    std::vector<uint8_t> buf(ZSTD_DStreamOutSize());
    ZSTD_inBuffer src{nullptr, 0, 0};
    FrameHead head;
    quint64 base = 0; // stream offset of src's first byte
    const quint64 declared = out.left();
    int rc = Ok;
    size_t last = 1; // 0 once a frame is complete
    for (;;) {
        if (src.pos == src.size) {
            if (in.p == in.end && !in.fill())
                break;
            base += src.size;
            src = ZSTD_inBuffer{in.p, size_t(in.end - in.p), 0};
            in.p = in.end;
        }
        head.see(base, src);
        ZSTD_outBuffer dst{buf.data(), buf.size(), 0};
        last = ZSTD_decompressStream(d, &dst, &src);
        if (ZSTD_isError(last)) {
            const ZSTD_ErrorCode e = ZSTD_getErrorCode(last);
            if (e == ZSTD_error_frameParameter_windowTooLarge)
                rc = head.windowVerdict(declared);
            else
                rc = e == ZSTD_error_memory_allocation ? Unsupported : HeaderDamaged;
            break;
        }
        if (last == 0)
            head.restart(base + src.pos);
        if (!out.write(buf.data(), dst.pos)) {
            rc = out.status();
            break;
        }
    }
    // All input taken: flush what the decoder still holds.
    while (rc == Ok && last != 0) {
        ZSTD_outBuffer dst{buf.data(), buf.size(), 0};
        last = ZSTD_decompressStream(d, &dst, &src);
        if (ZSTD_isError(last)) {
            rc = HeaderDamaged;
            break;
        }
        if (!out.write(buf.data(), dst.pos)) {
            rc = out.status();
            break;
        }
        if (dst.pos == 0 && last != 0)
            rc = HeaderDamaged; // the frame ends early
    }
    ZSTD_freeDStream(d);
    return rc;
}

} // namespace

int decodeWithLibrary(quint16 method, quint16 flags, Input& in, Output& out)
{
    switch (method) {
    case 12:
        return bunzip(in, out);
    case 14:
        return unlzma(in, out, flags);
    case 93:
        return unzstd(in, out);
    case 95:
        return unxz(in, out);
    default:
        return Unsupported;
    }
}

} // namespace zipdecode::detail
