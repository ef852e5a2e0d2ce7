// Implode (method 6): LZ77 over a 4K or 8K window (flag bit 1) with Shannon-Fano coded lengths and
// distances, and literals either raw or coded by a third tree (flag bit 2). The trees come first, as
// run-length coded bit lengths; codes are assigned from the longest down and sent most significant bit
// first. History before the start of the entry reads as zeros.
#include "zip/DecoderIO.h"

#include <algorithm>
#include <memory>

namespace zipdecode::detail {
namespace {

constexpr int kMaxBits = 16;

struct Tree
{
    // Indexed by the next `bits` input bits: symbol | length << 8; length 0 marks no code.
    std::vector<uint16_t> table;
    int bits = 0;

    // Reads a tree of n symbols from whole bytes; false for a description that is not a complete code.
    bool read(BitReader& br, int n)
    {
        uint8_t len[256];
        const int bytes = int(br.bits(8)) + 1;
        int k = 0;
        for (int i = 0; i < bytes; ++i) {
            const uint32_t b = br.bits(8);
            const int l = int(b & 15) + 1;
            const int run = int(b >> 4) + 1;
            if (k + run > n)
                return false;
            for (int r = 0; r < run; ++r)
                len[k++] = uint8_t(l);
        }
        if (k != n || br.overrun())
            return false;
        // Kraft sum: the lengths must fill the code space exactly.
        uint32_t space = 0;
        for (int i = 0; i < n; ++i)
            space += 1u << (kMaxBits - len[i]);
        if (space != 1u << kMaxBits)
            return false;
        // Sorted by length, ties by symbol; codes counted up from the end of that order.
        int order[256];
        for (int i = 0; i < n; ++i)
            order[i] = i;
        std::stable_sort(order, order + n, [&](int a, int b) { return len[a] < len[b]; });
        bits = len[order[n - 1]];
        table.assign(size_t(1) << bits, 0);
        uint32_t code = 0;
        uint32_t step = 0;
        int lastLen = 0;
        for (int i = n - 1; i >= 0; --i) {
            const int s = order[i];
            code += step;
            if (len[s] != lastLen) {
                lastLen = len[s];
                step = 1u << (kMaxBits - lastLen);
            }
            // The code's top len bits, first bit sent first: reversed into the LSB-first index.
            const uint32_t top = code >> (kMaxBits - len[s]);
            uint32_t rev = 0;
            for (int b = 0; b < len[s]; ++b)
                rev |= ((top >> b) & 1) << (len[s] - 1 - b);
            for (uint32_t at = rev; at < table.size(); at += 1u << len[s])
                table[at] = uint16_t(s | (len[s] << 8));
        }
        return true;
    }

    inline int decode(BitReader& br) const
    {
        const uint16_t e = table[br.peek(bits)];
        br.drop(e >> 8);
        return e & 0xff;
    }
};

struct Exploder
{
    Tree literals;
    Tree lengths;
    Tree distances;

    int run(Input& in, Output& out, quint16 flags)
    {
        BitReader br(in);
        return br.verdict(explode(br, out, flags));
    }

    int explode(BitReader& br, Output& out, quint16 flags)
    {
        const bool bigWindow = flags & 0x02;
        const bool literalTree = flags & 0x04;
        if (literalTree && !literals.read(br, 256))
            return HeaderDamaged;
        if (!lengths.read(br, 64) || !distances.read(br, 64))
            return HeaderDamaged;
        const int lowBits = bigWindow ? 7 : 6;
        const uint32_t minLen = literalTree ? 3 : 2;
        Window win(bigWindow ? 8192 : 4096, 63 + 255 + 3, out);
        quint64 left = out.left();
        while (left > 0) {
            if (br.overrun())
                return HeaderDamaged;
            if (!win.reserve())
                return out.status();
            br.refill();
            if (br.bits(1)) {
                const int c = literalTree ? literals.decode(br) : int(br.bits(8));
                win.data()[win.pos++] = uint8_t(c);
                --left;
                continue;
            }
            const uint32_t low = br.bits(lowBits);
            const uint32_t dist = ((uint32_t(distances.decode(br)) << lowBits) | low) + 1;
            br.refill();
            uint32_t len = uint32_t(lengths.decode(br));
            if (len == 63)
                len += br.bits(8);
            len += minLen;
            if (len > left)
                return DataDamaged;
            copyMatch(win.data() + win.pos, dist, len);
            win.pos += len;
            left -= len;
        }
        if (!win.flush())
            return out.status();
        return br.status();
    }
};

} // namespace

int explode(Input& in, Output& out, quint16 flags)
{
    auto e = std::make_unique<Exploder>();
    return e->run(in, out, flags);
}

} // namespace zipdecode::detail
