// Salvage of a file moved in text mode from a Unix host: every LF gained a CR in front. Dropping one CR
// before each LF gives the original bytes back exactly; read in chunks, so memory stays bounded.

#include "zip/SalvagePlan.h"

#include <cstring>

using namespace zipformat;

namespace zipsalvage {
namespace {

constexpr qint64 kTextChunk = 1024 * 1024;

} // namespace

bool looksTextModeMangled(FileReader& reader, Poll& poll)
{
    QByteArray buf;
    char before = 0; // the byte before the chunk
    bool anyLf = false;
    for (qint64 at = 0; at < reader.size(); at += kTextChunk) {
        if (poll.stop())
            return false;
        const qint64 n = std::min(kTextChunk, reader.size() - at);
        buf.resize(n);
        if (!reader.read(at, buf.data(), n))
            return false;
        const char* b = buf.constData();
        for (const char* p = static_cast<const char*>(std::memchr(b, '\n', size_t(n))); p;
             p = static_cast<const char*>(std::memchr(p + 1, '\n', size_t(b + n - p - 1)))) {
            if ((p == b ? before : p[-1]) != '\r')
                return false;
            anyLf = true;
        }
        before = b[n - 1];
    }
    return anyLf;
}

bool undoTextMode(FileReader& reader, QFile& out, Poll& poll)
{
    QByteArray buf;
    QByteArray kept;
    bool heldCr = false; // the chunk before ended in a CR, not yet written: it goes unless a LF follows
    for (qint64 at = 0; at < reader.size(); at += kTextChunk) {
        if (poll.stop())
            return false;
        const qint64 n = std::min(kTextChunk, reader.size() - at);
        buf.resize(n);
        if (!reader.read(at, buf.data(), n))
            return false;
        kept.resize(0);
        kept.reserve(n + 1);
        if (heldCr && buf[0] != '\n')
            kept.append('\r');
        heldCr = false;
        for (qint64 i = 0; i < n; ++i) {
            const char c = buf[i];
            if (c == '\r') {
                if (i + 1 == n) {
                    heldCr = true;
                    continue;
                }
                if (buf[i + 1] == '\n')
                    continue;
            }
            kept.append(c);
        }
        if (out.write(kept) != kept.size())
            return false;
    }
    if (heldCr && out.write("\r", 1) != 1)
        return false;
    return out.flush();
}

} // namespace zipsalvage
