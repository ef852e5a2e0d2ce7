#pragma once
// Record signatures, field limits and the extra-field walk shared by the directory parse and the
// local-header check.

#include "ZipFormat.h"

namespace zipformat {

constexpr quint32 kLocalSig = 0x04034b50;
constexpr quint32 kCentralSig = 0x02014b50;
constexpr quint32 kEndSig = 0x06054b50;
constexpr quint32 kZip64EndSig = 0x06064b50;
constexpr quint32 kZip64LocatorSig = 0x07064b50;
constexpr quint32 kDescriptorSig = 0x08074b50;
constexpr quint32 kMax32 = 0xffffffffu;
constexpr quint16 kMax16 = 0xffff;
constexpr qint64 kWindow = 256 * 1024;

// Walks the extra field blocks of a record; f(id, data, size) returns false to stop.
template <typename F> void forEachExtra(const char* extra, int len, F f)
{
    int pos = 0;
    while (pos + 4 <= len) {
        const quint16 id = get16(extra + pos);
        const quint16 size = get16(extra + pos + 2);
        if (pos + 4 + size > len)
            return;
        if (!f(id, extra + pos + 4, int(size)))
            return;
        pos += 4 + size;
    }
}

} // namespace zipformat
