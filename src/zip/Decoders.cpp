#include "zip/Decoders.h"

#include "zip/DecoderIO.h"

#include <libdeflate.h>

namespace zipdecode {
namespace detail {

bool Output::write(const uint8_t* data, size_t len)
{
    if (m_status)
        return false;
    if (len > left()) {
        m_status = DataDamaged; // more data than the directory promises
        return false;
    }
    if (len == 0)
        return true;
    m_sum = libdeflate_crc32(m_sum, data, len);
    m_written += len;
    if (m_sink && !m_sink(reinterpret_cast<const char*>(data), qint64(len))) {
        m_status = CannotWrite;
        return false;
    }
    m_sincePoint += len;
    if (m_sincePoint >= kOutputPoint) {
        m_sincePoint = 0;
        if (m_progress && !m_progress(0)) {
            m_status = Aborted;
            return false;
        }
    }
    return true;
}

int Output::finish() const
{
    if (m_status)
        return m_status;
    return m_written == m_size && m_sum == m_crc ? Ok : DataDamaged;
}

namespace {

int copyStored(Input& in, Output& out)
{
    while (in.fill()) {
        if (!out.write(in.p, size_t(in.end - in.p)))
            return out.status();
        in.p = in.end;
    }
    return in.status();
}

} // namespace
} // namespace detail

bool canDecode(quint16 method)
{
    switch (method) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 8:
    case 9:
    case 12:
    case 14:
    case 93:
    case 95:
    case 98:
        return true;
    default:
        return false;
    }
}

const char* methodName(quint16 method)
{
    switch (method) {
    case 0:
        return "stored";
    case 1:
        return "shrink";
    case 2:
    case 3:
    case 4:
    case 5:
        return "reduce";
    case 6:
        return "implode";
    case 8:
        return "deflate";
    case 9:
        return "deflate64";
    case 12:
        return "bzip2";
    case 14:
        return "LZMA";
    case 93:
        return "zstd";
    case 95:
        return "xz";
    case 98:
        return "PPMd";
    default:
        return "unknown";
    }
}

int decodeEntryData(quint16 method, quint16 flags, const ReadFn& read, quint64 compressedSize, quint64 size,
                    quint32 expectedCrc, const Sink& sink, const ProgressFn& progress)
{
    using namespace detail;
    if (!canDecode(method))
        return Unsupported;
    Input in(read, compressedSize, progress);
    Output out(size, expectedCrc, sink, progress);
    // An empty entry with no data holds nothing to decode, whatever method its header names.
    if (compressedSize == 0 && size == 0)
        return out.finish();
    int rc = Ok;
    switch (method) {
    case 0:
        if (compressedSize != size)
            return DataDamaged;
        rc = copyStored(in, out);
        break;
    case 1:
        rc = unshrink(in, out);
        break;
    case 2:
    case 3:
    case 4:
    case 5:
        rc = unreduce(in, out, method - 1);
        break;
    case 6:
        rc = explode(in, out, flags);
        break;
    case 8:
    case 9:
        rc = inflate(in, out, method == 9);
        break;
    case 98:
        rc = unppmd(in, out, flags, compressedSize, expectedCrc);
        break;
    default:
        rc = decodeWithLibrary(method, flags, in, out);
        break;
    }
    // A failed read or an abort outranks what the decoder made of the missing bytes.
    if (in.status())
        return in.status();
    if (rc)
        return rc;
    return out.finish();
}

} // namespace zipdecode
