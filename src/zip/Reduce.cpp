// Reduce (methods 2-5, compression factor 1-4): bytes coded through "follower sets" (per previous byte,
// up to 32 likely next bytes reached by a short index), then expanded by a small LZ77 scheme where byte
// 144 (DLE) introduces a length/distance pair. History before the start of the entry reads as zeros.
#include "zip/DecoderIO.h"

#include <memory>

namespace zipdecode::detail {
namespace {

constexpr uint8_t kDle = 144;

// Bits of the index into a follower set of n bytes.
int indexBits(int n)
{
    int b = 1;
    while ((1 << b) < n)
        ++b;
    return b;
}

struct Unreducer
{
    uint8_t followers[256][64];
    uint8_t count[256];
    uint8_t bitsFor[256];

    int run(Input& in, Output& out, int factor)
    {
        BitReader br(in);
        return br.verdict(expand(br, out, factor));
    }

    int expand(BitReader& br, Output& out, int factor)
    {
        for (int j = 255; j >= 0; --j) {
            const int n = int(br.bits(6)); // the format means at most 32; larger sets still decode
            count[j] = uint8_t(n);
            bitsFor[j] = uint8_t(indexBits(n));
            for (int i = 0; i < n; ++i)
                followers[j][i] = uint8_t(br.bits(8));
            if (br.overrun())
                return HeaderDamaged;
        }
        const uint32_t lenMask = 0xffu >> factor;
        // Longest match: the mask, one extension byte, plus 3.
        Window win(4096, lenMask + 255 + 3, out);
        quint64 left = out.left();
        int state = 0;
        uint8_t last = 0;
        uint32_t v = 0;
        uint32_t len = 0;
        while (left > 0) {
            if (br.overrun())
                return HeaderDamaged;
            br.refill();
            uint8_t c;
            if (count[last] == 0) {
                c = uint8_t(br.bits(8));
            } else if (br.bits(1)) {
                c = uint8_t(br.bits(8));
            } else {
                const uint32_t i = br.bits(bitsFor[last]);
                if (i >= count[last])
                    return HeaderDamaged;
                c = followers[last][i];
            }
            last = c;
            switch (state) {
            case 0:
                if (c == kDle) {
                    state = 1;
                    break;
                }
                if (!win.reserve())
                    return out.status();
                win.data()[win.pos++] = c;
                --left;
                break;
            case 1:
                if (c == 0) {
                    if (!win.reserve())
                        return out.status();
                    win.data()[win.pos++] = kDle;
                    --left;
                    state = 0;
                    break;
                }
                v = c;
                len = v & lenMask;
                state = len == lenMask ? 2 : 3;
                break;
            case 2:
                len += c;
                state = 3;
                break;
            default: {
                const size_t dist = ((v >> (8 - factor)) << 8) + c + 1;
                const size_t n = len + 3;
                if (n > left)
                    return DataDamaged;
                if (!win.reserve())
                    return out.status();
                copyMatch(win.data() + win.pos, dist, n);
                win.pos += n;
                left -= n;
                state = 0;
                break;
            }
            }
        }
        if (!win.flush())
            return out.status();
        return br.status();
    }
};

} // namespace

int unreduce(Input& in, Output& out, int factor)
{
    auto u = std::make_unique<Unreducer>();
    return u->run(in, out, factor);
}

} // namespace zipdecode::detail
