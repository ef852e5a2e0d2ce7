#include "LegacyEncoders.h"

#include <QHash>
#include <algorithm>
#include <array>
#include <vector>

namespace testzip {
namespace {

class BitWriter
{
public:
    void put(quint32 value, int bits)
    {
        for (int i = 0; i < bits; ++i) {
            m_acc |= ((value >> i) & 1u) << m_count;
            if (++m_count == 8) {
                m_out.append(char(m_acc));
                m_acc = 0;
                m_count = 0;
            }
        }
    }
    QByteArray finish()
    {
        if (m_count)
            m_out.append(char(m_acc));
        m_count = 0;
        m_acc = 0;
        return m_out;
    }

private:
    QByteArray m_out;
    quint32 m_acc = 0;
    int m_count = 0;
};

// Greedy LZ77 matches through a hash of three bytes; returns the length (0 when under minLen).
struct Matcher
{
    const QByteArray& d;
    int window;
    int minLen;
    int maxLen;
    QHash<quint32, QList<int>> heads;

    int find(int i, int* dist) const
    {
        if (i + 3 > d.size())
            return 0;
        const auto it = heads.constFind(key(i));
        if (it == heads.constEnd())
            return 0;
        int best = 0;
        const QList<int>& at = *it;
        for (int k = int(at.size()) - 1, tries = 0; k >= 0 && tries < 16; --k, ++tries) {
            const int j = at[k];
            if (i - j > window)
                break;
            int n = 0;
            while (n < maxLen && i + n < d.size() && d[j + n] == d[i + n])
                ++n;
            if (n > best) {
                best = n;
                *dist = i - j;
            }
        }
        return best >= minLen ? best : 0;
    }
    void add(int i)
    {
        if (i + 3 <= d.size())
            heads[key(i)].append(i);
    }
    quint32 key(int i) const { return quint8(d[i]) | quint8(d[i + 1]) << 8 | quint32(quint8(d[i + 2])) << 16; }
};

} // namespace

QByteArray shrink(const QByteArray& data)
{
    // The decoder's table, mirrored step by step, plus a lookup of (parent, byte) -> code.
    constexpr int kCodes = 8192;
    std::vector<int> parent(kCodes, -1);
    std::vector<quint8> value(kCodes);
    std::vector<bool> used(kCodes);
    QHash<quint32, int> child;
    for (int c = 0; c < 256; ++c)
        used[size_t(c)] = true;
    BitWriter w;
    int codeSize = 9;
    int nextFree = 257;
    int prev = -1;
    const auto* d = reinterpret_cast<const quint8*>(data.constData());
    int i = 0;
    while (i < data.size()) {
        int code = d[i];
        int j = i + 1;
        for (; j < data.size(); ++j) {
            const auto it = child.constFind(quint32(code) << 8 | d[j]);
            if (it == child.constEnd())
                break;
            code = *it;
        }
        while (code >= (1 << codeSize)) {
            w.put(256, codeSize);
            w.put(1, codeSize);
            ++codeSize;
        }
        w.put(quint32(code), codeSize);
        if (prev >= 0 && nextFree < kCodes) {
            parent[size_t(nextFree)] = prev;
            value[size_t(nextFree)] = d[i];
            used[size_t(nextFree)] = true;
            child.insert(quint32(prev) << 8 | d[i], nextFree);
            while (nextFree < kCodes && used[size_t(nextFree)])
                ++nextFree;
        }
        if (nextFree == kCodes && codeSize == 13) {
            w.put(256, codeSize);
            w.put(2, codeSize);
            std::vector<bool> hasChild(kCodes);
            for (int c = 257; c < kCodes; ++c)
                if (used[size_t(c)] && parent[size_t(c)] >= 0)
                    hasChild[size_t(parent[size_t(c)])] = true;
            child.clear();
            for (int c = 257; c < kCodes; ++c) {
                if (!hasChild[size_t(c)])
                    used[size_t(c)] = false;
                else
                    child.insert(quint32(parent[size_t(c)]) << 8 | value[size_t(c)], c);
            }
            for (nextFree = 257; nextFree < kCodes && used[size_t(nextFree)];)
                ++nextFree;
        }
        prev = code;
        i = j;
    }
    return w.finish();
}

QByteArray reduce(const QByteArray& data, int factor)
{
    // Pass 1: the LZ77 byte stream, DLE (144) escaping literals and introducing matches.
    const int lenMask = 0xff >> factor;
    Matcher m{data, 256 << factor, 3, lenMask + 255 + 3, {}};
    QByteArray t;
    for (int i = 0; i < data.size();) {
        int dist = 0;
        int len = m.find(i, &dist);
        const int hi = len ? (dist - 1) >> 8 : 0;
        if (len == 3 && hi == 0)
            len = 0; // DLE followed by 0 means a literal DLE, so this pair has no code
        if (len) {
            const int l = len - 3;
            t.append(char(144));
            t.append(char(hi << (8 - factor) | std::min(l, lenMask)));
            if (l >= lenMask)
                t.append(char(l - lenMask));
            t.append(char((dist - 1) & 0xff));
        } else {
            len = 1;
            t.append(data[i]);
            if (quint8(data[i]) == 144)
                t.append(char(0));
        }
        for (int k = 0; k < len; ++k)
            m.add(i + k);
        i += len;
    }
    // Pass 2: per previous byte, the (up to 32) most frequent next bytes.
    std::vector<std::array<int, 256>> freq(256);
    for (auto& f : freq)
        f.fill(0);
    quint8 last = 0;
    for (char c : t) {
        ++freq[last][quint8(c)];
        last = quint8(c);
    }
    std::vector<std::vector<int>> sets(256);
    for (int j = 0; j < 256; ++j) {
        for (int c = 0; c < 256; ++c)
            if (freq[size_t(j)][size_t(c)])
                sets[size_t(j)].push_back(c);
        std::stable_sort(sets[size_t(j)].begin(), sets[size_t(j)].end(),
                         [&](int a, int b) { return freq[size_t(j)][size_t(a)] > freq[size_t(j)][size_t(b)]; });
        // Leave some sets smaller than their bytes, so both the index and the escape are used.
        sets[size_t(j)].resize(std::min<size_t>(sets[size_t(j)].size(), j % 2 ? 32 : 5));
    }
    BitWriter w;
    for (int j = 255; j >= 0; --j) {
        w.put(quint32(sets[size_t(j)].size()), 6);
        for (int c : sets[size_t(j)])
            w.put(quint32(c), 8);
    }
    last = 0;
    for (char ch : t) {
        const int c = quint8(ch);
        const auto& s = sets[last];
        if (s.empty()) {
            w.put(quint32(c), 8);
        } else {
            const auto it = std::find(s.begin(), s.end(), c);
            if (it == s.end()) {
                w.put(1, 1);
                w.put(quint32(c), 8);
            } else {
                int bits = 1;
                while ((1u << bits) < s.size())
                    ++bits;
                w.put(0, 1);
                w.put(quint32(it - s.begin()), bits);
            }
        }
        last = quint8(c);
    }
    return w.finish();
}

namespace {

// Shannon-Fano codes as implode assigns them, written first bit first.
struct SfTree
{
    std::vector<int> len;
    std::vector<quint32> code;

    explicit SfTree(std::vector<int> lengths) : len(std::move(lengths)), code(len.size())
    {
        std::vector<int> order(len.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = int(i);
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return len[size_t(a)] < len[size_t(b)]; });
        quint32 c = 0;
        quint32 step = 0;
        int lastLen = 0;
        for (int i = int(order.size()) - 1; i >= 0; --i) {
            const auto s = size_t(order[size_t(i)]);
            c += step;
            if (len[s] != lastLen) {
                lastLen = len[s];
                step = 1u << (16 - lastLen);
            }
            code[s] = c >> (16 - len[s]);
        }
    }
    void describe(QByteArray& out) const
    {
        QByteArray runs;
        for (size_t i = 0; i < len.size();) {
            size_t n = 1;
            while (i + n < len.size() && len[i + n] == len[i] && n < 16)
                ++n;
            runs.append(char((n - 1) << 4 | size_t(len[i] - 1)));
            i += n;
        }
        out.append(char(runs.size() - 1));
        out.append(runs);
    }
    void put(BitWriter& w, int s) const
    {
        const int l = len[size_t(s)];
        for (int b = l - 1; b >= 0; --b)
            w.put((code[size_t(s)] >> b) & 1, 1);
    }
};

std::vector<int> lengths(std::initializer_list<std::pair<int, int>> runs)
{
    std::vector<int> v;
    for (const auto& [count, len] : runs)
        v.insert(v.end(), size_t(count), len);
    return v;
}

} // namespace

QByteArray implode(const QByteArray& data, bool bigWindow, bool literalTree)
{
    // Complete codes of uneven lengths, so the code assignment is really exercised.
    const SfTree lit(lengths({{32, 7}, {160, 8}, {64, 9}}));
    const SfTree lens(lengths({{1, 1}, {1, 2}, {2, 7}, {60, 8}}));
    const SfTree dists(lengths({{2, 2}, {2, 3}, {4, 7}, {56, 8}}));
    QByteArray out;
    if (literalTree)
        lit.describe(out);
    lens.describe(out);
    dists.describe(out);
    const int lowBits = bigWindow ? 7 : 6;
    const int minLen = literalTree ? 3 : 2;
    Matcher m{data, bigWindow ? 8192 : 4096, std::max(minLen, 3), 63 + 255 + minLen, {}};
    BitWriter w;
    for (int i = 0; i < data.size();) {
        int dist = 0;
        int len = m.find(i, &dist);
        if (len) {
            w.put(0, 1);
            w.put(quint32(dist - 1) & ((1u << lowBits) - 1), lowBits);
            dists.put(w, (dist - 1) >> lowBits);
            const int l = len - minLen;
            lens.put(w, std::min(l, 63));
            if (l >= 63)
                w.put(quint32(l - 63), 8);
        } else {
            len = 1;
            w.put(1, 1);
            if (literalTree)
                lit.put(w, quint8(data[i]));
            else
                w.put(quint8(data[i]), 8);
        }
        for (int k = 0; k < len; ++k)
            m.add(i + k);
        i += len;
    }
    return out + w.finish();
}

} // namespace testzip
