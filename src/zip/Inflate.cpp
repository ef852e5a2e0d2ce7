// Deflate and deflate64 as a streaming inflater with a sliding window. Deflate64 differs from deflate
// only in a 64K window, length code 285 (base 3 with 16 extra bits) and distance codes 30 and 31.
#include "zip/DecoderIO.h"

#include <array>
#include <memory>

namespace zipdecode::detail {
namespace {

constexpr int kFastBits = 10;
constexpr int kMaxBits = 15;

// Canonical Huffman decoding: a table of kFastBits for the short codes, a canonical walk for the rest.
struct Huffman
{
    std::array<uint32_t, 1 << kFastBits> fast{}; // symbol | length << 16; length 0: long or unused
    std::array<uint16_t, kMaxBits + 1> count{};
    std::array<uint16_t, 320> symbol{};

    // false when the lengths over-subscribe the code space. Incomplete codes are accepted; their unused
    // codes are refused when met.
    bool build(const uint8_t* lengths, int n)
    {
        count.fill(0);
        for (int i = 0; i < n; ++i)
            ++count[lengths[i]];
        count[0] = 0;
        int left = 1;
        for (int len = 1; len <= kMaxBits; ++len) {
            left = (left << 1) - count[len];
            if (left < 0)
                return false;
        }
        std::array<uint16_t, kMaxBits + 2> offs{};
        for (int len = 1; len <= kMaxBits; ++len)
            offs[len + 1] = offs[len] + count[len];
        for (int i = 0; i < n; ++i)
            if (lengths[i])
                symbol[offs[lengths[i]]++] = uint16_t(i);
        fast.fill(0);
        uint32_t code = 0;
        int index = 0;
        for (int len = 1; len <= kMaxBits; ++len) {
            for (int k = 0; k < count[len]; ++k, ++code, ++index) {
                if (len > kFastBits)
                    continue;
                uint32_t rev = 0;
                for (int b = 0; b < len; ++b)
                    rev |= ((code >> b) & 1) << (len - 1 - b);
                for (uint32_t i = rev; i < (1u << kFastBits); i += 1u << len)
                    fast[i] = symbol[index] | uint32_t(len) << 16;
            }
            code <<= 1;
        }
        return true;
    }

    // The next symbol, or -1 for a code no symbol has. Needs kMaxBits bits in the reader.
    inline int decode(BitReader& br) const
    {
        const uint32_t e = fast[br.peek(kFastBits)];
        if (e >> 16) {
            br.drop(int(e >> 16));
            return int(e & 0xffff);
        }
        const uint32_t bits = br.peek(kMaxBits);
        int code = 0;
        int first = 0;
        int index = 0;
        for (int len = 1; len <= kMaxBits; ++len) {
            code |= (bits >> (len - 1)) & 1;
            const int c = count[len];
            if (code - c < first) {
                br.drop(len);
                return symbol[index + code - first];
            }
            index += c;
            first = (first + c) << 1;
            code <<= 1;
        }
        return -1;
    }
};

constexpr uint16_t kLenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                   31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                   2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint32_t kDistBase[32] = {1,    2,    3,    4,    5,    7,     9,     13,    17,    25,   33,
                                    49,   65,   97,   129,  193,  257,   385,   513,   769,   1025, 1537,
                                    2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr uint8_t kDistExtra[32] = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,  6,
                                    7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};
constexpr uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct Inflater
{
    Inflater(Input& in, Output& out, bool d64)
        : br(in), out(out), d64(d64), win(d64 ? 65536 : 32768, d64 ? 65538 : 258, out)
    {
    }

    BitReader br;
    Output& out;
    bool d64;
    Window win;
    Huffman lit;
    Huffman dist;
    quint64 made = 0;

    int run()
    {
        bool last = false;
        do {
            br.refill();
            last = br.bits(1);
            const uint32_t type = br.bits(2);
            int rc = Ok;
            if (type == 0)
                rc = stored();
            else if (type == 1)
                rc = fixedTables() ? codes() : HeaderDamaged;
            else if (type == 2)
                rc = dynamicTables() ? codes() : HeaderDamaged;
            else
                rc = HeaderDamaged;
            if (rc)
                return rc;
            if (br.overrun())
                return HeaderDamaged;
        } while (!last);
        if (!win.flush())
            return out.status();
        return br.status();
    }

    int stored()
    {
        br.alignToByte();
        const uint32_t len = br.bits(16);
        const uint32_t nlen = br.bits(16);
        if (len != (~nlen & 0xffff))
            return HeaderDamaged;
        if (made + len > out.left() + out.written())
            return DataDamaged;
        uint32_t left = len;
        while (left > 0) {
            if (!win.reserve())
                return out.status();
            const uint32_t n = std::min<uint32_t>(left, d64 ? 65538 : 258);
            if (!br.readBytes(win.data() + win.pos, n))
                return br.status() ? br.status() : HeaderDamaged;
            win.pos += n;
            made += n;
            left -= n;
        }
        return Ok;
    }

    bool fixedTables()
    {
        uint8_t l[320];
        int i = 0;
        for (; i < 144; ++i)
            l[i] = 8;
        for (; i < 256; ++i)
            l[i] = 9;
        for (; i < 280; ++i)
            l[i] = 7;
        for (; i < 288; ++i)
            l[i] = 8;
        for (int d = 0; d < 32; ++d)
            l[288 + d] = 5;
        return lit.build(l, 288) && dist.build(l + 288, 32);
    }

    bool dynamicTables()
    {
        br.refill();
        const int nlit = int(br.bits(5)) + 257;
        const int ndist = int(br.bits(5)) + 1;
        const int ncode = int(br.bits(4)) + 4;
        if (nlit > 286 || ndist > (d64 ? 32 : 30))
            return false;
        uint8_t l[320] = {};
        br.refill();
        for (int i = 0; i < ncode; ++i)
            l[kOrder[i]] = uint8_t(br.bits(3));
        Huffman lens;
        if (!lens.build(l, 19))
            return false;
        std::fill(l, l + 19, 0);
        int i = 0;
        while (i < nlit + ndist) {
            br.refill();
            const int sym = lens.decode(br);
            if (sym < 0)
                return false;
            if (sym < 16) {
                l[i++] = uint8_t(sym);
                continue;
            }
            int repeat = 0;
            uint8_t value = 0;
            if (sym == 16) {
                if (i == 0)
                    return false;
                value = l[i - 1];
                repeat = 3 + int(br.bits(2));
            } else if (sym == 17) {
                repeat = 3 + int(br.bits(3));
            } else {
                repeat = 11 + int(br.bits(7));
            }
            if (i + repeat > nlit + ndist)
                return false;
            while (repeat--)
                l[i++] = value;
        }
        if (l[256] == 0 || br.overrun())
            return false;
        return lit.build(l, nlit) && dist.build(l + nlit, ndist);
    }

    int codes()
    {
        const quint64 size = out.written() + out.left();
        const int distCodes = d64 ? 32 : 30;
        for (;;) {
            if (!win.reserve())
                return out.status();
            br.refill();
            int sym = lit.decode(br);
            if (sym < 256) {
                // Past the end of the input the padding may decode as a literal for ever: stop there.
                if (sym < 0 || br.overrun())
                    return HeaderDamaged;
                if (made >= size)
                    return DataDamaged;
                win.data()[win.pos++] = uint8_t(sym);
                ++made;
                continue;
            }
            if (sym == 256)
                return br.overrun() ? HeaderDamaged : Ok;
            sym -= 257;
            if (sym >= 29) // codes 286 and 287
                return HeaderDamaged;
            uint32_t len;
            if (d64 && sym == 28)
                len = 3 + br.bits(16);
            else
                len = kLenBase[sym] + br.bits(kLenExtra[sym]);
            br.refill();
            const int dsym = dist.decode(br);
            if (dsym < 0 || dsym >= distCodes)
                return HeaderDamaged;
            const uint32_t d = kDistBase[dsym] + br.bits(kDistExtra[dsym]);
            if (d > made)
                return HeaderDamaged; // reaches before the start of the entry
            if (made + len > size)
                return DataDamaged;
            copyMatch(win.data() + win.pos, d, len);
            win.pos += len;
            made += len;
            if (br.overrun())
                return HeaderDamaged;
        }
    }
};

} // namespace

int inflate(Input& in, Output& out, bool deflate64)
{
    // The window is large; keep it off the stack.
    auto inflater = std::make_unique<Inflater>(in, out, deflate64);
    return inflater->br.verdict(inflater->run());
}

} // namespace zipdecode::detail
