// Shrink (method 1): LZW with codes of 9 to 13 bits and partial clearing. Code 256 escapes: 256,1 widens
// the codes by one bit, 256,2 frees every leaf of the code tree. A freed code keeps its string until
// it is reused, so a child added to a parent cleared just before still reads as that parent's string.
#include "zip/DecoderIO.h"

#include <memory>

namespace zipdecode::detail {
namespace {

constexpr int kCodes = 8192;
constexpr uint16_t kRoot = 0xffff;

struct Unshrinker
{
    uint16_t parent[kCodes];
    uint8_t value[kCodes];
    bool used[kCodes];
    uint8_t stack[kCodes];
    uint8_t buf[64 * 1024];
    size_t fill = 0;

    void partialClear()
    {
        bool hasChild[kCodes] = {};
        for (int c = 257; c < kCodes; ++c)
            if (used[c] && parent[c] != kRoot)
                hasChild[parent[c]] = true;
        for (int c = 257; c < kCodes; ++c)
            if (!hasChild[c])
                used[c] = false;
    }

    // Writes code's string to the end of stack; returns its start, or -1 for a chain that loops.
    int expand(int code)
    {
        int at = kCodes;
        while (code != kRoot) {
            if (at == 0)
                return -1;
            stack[--at] = value[code];
            code = parent[code];
        }
        return at;
    }

    int run(Input& in, Output& out)
    {
        for (int c = 0; c < kCodes; ++c) {
            parent[c] = kRoot;
            value[c] = uint8_t(c);
            used[c] = c < 256;
        }
        BitReader br(in);
        return br.verdict(decode(br, out));
    }

    int decode(BitReader& br, Output& out)
    {
        int codeSize = 9;
        int prev = -1;
        int nextFree = 257;
        quint64 left = out.left();
        while (left > 0) {
            if (br.overrun())
                return HeaderDamaged;
            const int code = int(br.bits(codeSize));
            if (code == 256) {
                const int sub = int(br.bits(codeSize));
                if (sub == 1 && codeSize < 13) {
                    ++codeSize;
                } else if (sub == 2) {
                    partialClear();
                    for (nextFree = 257; nextFree < kCodes && used[nextFree];)
                        ++nextFree;
                } else {
                    return HeaderDamaged;
                }
                continue;
            }
            int start;
            if (prev < 0) {
                if (code > 255)
                    return HeaderDamaged;
                stack[kCodes - 1] = uint8_t(code);
                start = kCodes - 1;
            } else {
                // A code not (yet) in the table is the string just made plus its own first byte.
                const bool known = used[code];
                const int from = known ? code : prev;
                start = expand(from);
                if (start < 0)
                    return HeaderDamaged;
                const uint8_t first = stack[start];
                if (!known) {
                    if (start == 0)
                        return HeaderDamaged;
                    std::memmove(stack + start - 1, stack + start, size_t(kCodes - start));
                    stack[kCodes - 1] = first;
                    --start;
                }
                if (nextFree < kCodes) {
                    parent[nextFree] = uint16_t(prev);
                    value[nextFree] = first;
                    used[nextFree] = true;
                    while (nextFree < kCodes && used[nextFree])
                        ++nextFree;
                }
            }
            prev = code;
            const size_t len = size_t(kCodes - start);
            if (len > left)
                return DataDamaged;
            if (fill + len > sizeof buf) {
                if (!out.write(buf, fill))
                    return out.status();
                fill = 0;
            }
            std::memcpy(buf + fill, stack + start, len);
            fill += len;
            left -= len;
        }
        if (!out.write(buf, fill))
            return out.status();
        return br.status();
    }
};

} // namespace

int unshrink(Input& in, Output& out)
{
    auto u = std::make_unique<Unshrinker>();
    return u->run(in, out);
}

} // namespace zipdecode::detail
