// ZipComponent, testing: decoding entries to check their data, in memory on two cores or streamed.

#include "zip/Decoders.h"
#include "zip/ZipJob.h"

#include <algorithm>
#include <future>
#include <memory>
#include <zlib.h>

using namespace zipformat;
using namespace zipjob;

namespace {

// Sizes are compared unsigned: a zip64 size of 2^63 or more is huge, never negative and small.
bool fitsInMemory(const Entry& e)
{
    constexpr quint64 limit = quint64(ZipComponent::kFastTestLimit);
    return e.compressedSize <= limit && e.size <= limit;
}

// The verdict on one deflated entry held in memory; runs on either core, with its own decompressor and buffer.
// A stream that fails other than by bad codes goes to kStreamDecides: the streaming inflater tells a stream cut
// short (410) from one of the wrong size (200), so an entry gets the same code at any size.
constexpr int kStreamDecides = -2;

// out holds at least e.size bytes.
int inflateAndCheck(libdeflate_decompressor* d, const Entry& e, const char* in, char* out)
{
    size_t got = 0;
    size_t used = 0;
    const libdeflate_result r =
        libdeflate_deflate_decompress_ex(d, in, size_t(e.compressedSize), out, size_t(e.size), &used, &got);
    if (r == LIBDEFLATE_BAD_DATA)
        return ZipHeaderDamaged;
    if (r != LIBDEFLATE_SUCCESS || got != e.size)
        return kStreamDecides;
    return libdeflate_crc32(0, out, got) == e.crc ? ZipSuccess : ZipDataDamaged;
}

} // namespace

int ZipJob::decode(const Entry& e, const Sink* sink, bool* untestable)
{
    *untestable = false;
    if (e.encrypted()) {
        *untestable = true;
        return ZipSuccess;
    }
    if (e.method == 0) {
        if (e.compressedSize != e.size)
            return ZipDataDamaged;
        quint32 crc = 0;
        quint64 left = e.size;
        qint64 at = qint64(e.dataOffset);
        m_in.resize(qsizetype(std::min<quint64>(left, quint64(kChunk))));
        while (left > 0) {
            const qint64 n = qint64(std::min<quint64>(left, quint64(kChunk)));
            if (!m_reader.read(at, m_in.data(), n))
                return ZipCannotRead;
            crc = libdeflate_crc32(crc, m_in.constData(), size_t(n));
            if (sink && !(*sink)(m_in.constData(), n))
                return ZipCannotWrite;
            at += n;
            left -= quint64(n);
            if (!advance(n))
                return ZipAborted;
        }
        return crc == e.crc ? ZipSuccess : ZipDataDamaged;
    }
    if (e.method != 8 || !fitsInMemory(e))
        return decodeStream(e, sink, untestable);

    if (!m_decompressor && !(m_decompressor = libdeflate_alloc_decompressor()))
        return ZipOtherError;
    if (!holdTestBuffers(qint64(e.compressedSize), qint64(e.size), 0))
        return inflateStream(e, sink);
    if (!m_reader.read(qint64(e.dataOffset), m_test.data(), qint64(e.compressedSize)))
        return ZipCannotRead;
    const int rc = inflateAndCheck(m_decompressor, e, m_test.data(), m_testOut);
    if (rc == kStreamDecides)
        return inflateStream(e, sink);
    if (rc)
        return rc;
    if (sink && !(*sink)(m_testOut, qint64(e.size)))
        return ZipCannotWrite;
    if (!advance(qint64(e.compressedSize)))
        return ZipAborted;
    return ZipSuccess;
}

// Large deflated entries stream through zlib in bounded chunks, read by our own reader (libzip cannot
// place entries behind a prefix whose offsets count from the ZIP data).
int ZipJob::inflateStream(const Entry& e, const Sink* sink)
{
    z_stream zs{};
    if (inflateInit2(&zs, -15) != Z_OK)
        return ZipOtherError;
    std::unique_ptr<z_stream, int (*)(z_stream*)> closer(&zs, inflateEnd);
    m_in.resize(kChunk);
    m_out.resize(kChunk);
    quint64 readSoFar = 0;
    quint64 total = 0;
    quint32 crc = 0;
    int zr = Z_OK;
    while (zr != Z_STREAM_END) {
        if (zs.avail_in == 0) {
            const qint64 n = qint64(std::min<quint64>(e.compressedSize - readSoFar, quint64(kChunk)));
            if (n == 0)
                return ZipHeaderDamaged; // cut short: cannot be decoded, as in memory and at any size
            if (!m_reader.read(qint64(e.dataOffset + readSoFar), m_in.data(), n))
                return ZipCannotRead;
            readSoFar += quint64(n);
            zs.next_in = reinterpret_cast<Bytef*>(m_in.data());
            zs.avail_in = uInt(n);
            if (!advance(n))
                return ZipAborted;
        }
        zs.next_out = reinterpret_cast<Bytef*>(m_out.data());
        zs.avail_out = uInt(m_out.size());
        zr = inflate(&zs, Z_NO_FLUSH);
        if (zr == Z_DATA_ERROR)
            return ZipHeaderDamaged;
        if (zr != Z_OK && zr != Z_STREAM_END && zr != Z_BUF_ERROR)
            return ZipOtherError;
        const qint64 got = qint64(m_out.size()) - qint64(zs.avail_out);
        if (zr == Z_BUF_ERROR && got == 0 && zs.avail_in > 0)
            return ZipHeaderDamaged; // no progress possible
        total += quint64(got);
        if (total > e.size)
            return ZipDataDamaged; // more data than the directory promises
        crc = quint32(libdeflate_crc32(crc, m_out.constData(), size_t(got)));
        if (got > 0 && sink && !(*sink)(m_out.constData(), got))
            return ZipCannotWrite;
        // Much output from little input: a progress point per output chunk too, so an abort is heard.
        if (!point())
            return ZipAborted;
    }
    m_done += qint64(e.compressedSize - readSoFar);
    return total == e.size && crc == e.crc ? ZipSuccess : ZipDataDamaged;
}

// Large deflated entries stream through zlib; every other method goes through our decoders.
int ZipJob::decodeStream(const Entry& e, const Sink* sink, bool* untestable)
{
    if (e.method == 8)
        return inflateStream(e, sink);
    return decodeMethod(e, sink, untestable);
}

int ZipJob::decodeMethod(const Entry& e, const Sink* sink, bool* untestable)
{
    qint64 at = qint64(e.dataOffset);
    const zipdecode::ReadFn read = [&](char* dest, qint64 max) -> qint64 {
        if (!m_reader.read(at, dest, max))
            return -1;
        at += max;
        return max;
    };
    const zipdecode::ProgressFn progress = [this](qint64 n) { return advance(n); };
    const int rc = zipdecode::decodeEntryData(e.method, e.flags, read, e.compressedSize, e.size, e.crc,
                                              sink ? *sink : zipdecode::Sink(), progress);
    if (rc != zipdecode::Unsupported)
        return rc;
    *untestable = true;                  // a method we do not decode, or a dictionary over the memory limit
    m_done -= at - qint64(e.dataOffset); // the caller counts the whole entry as done
    return ZipSuccess;
}

namespace {

bool inMemory(const Entry& e)
{
    return !e.encrypted() && e.method == 8 && fitsInMemory(e);
}

struct DecompressorDeleter
{
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

} // namespace

// Tests every matched entry in order. Runs of small deflated entries go in batches whose inflating is
// shared by two threads; the verdict is still that of the first bad entry in listing order.
int ZipJob::testData(const std::vector<const Entry*>& matched)
{
    for (const Entry* e : matched)
        m_total += qint64(e->compressedSize);
    std::vector<const Entry*> batch;
    qint64 batchBytes = 0;
    auto flush = [&]() -> int {
        const int rc = testBatch(batch);
        batch.clear();
        batchBytes = 0;
        return rc;
    };
    for (const Entry* e : matched) {
        if (inMemory(*e)) {
            if (!batch.empty() && batchBytes + qint64(e->compressedSize) > kBatchBytes)
                if (const int rc = flush())
                    return rc;
            batch.push_back(e);
            batchBytes += qint64(e->compressedSize);
            continue;
        }
        if (const int rc = flush())
            return rc;
        bool untestable = false;
        if (const int rc = decode(*e, nullptr, &untestable))
            return rc;
        if (untestable && !advance(qint64(e->compressedSize)))
            return ZipAborted;
    }
    return flush();
}

bool ZipJob::holdTestBuffers(qint64 in, qint64 out, qint64 secondOut)
{
    const qint64 need = in + out + secondOut;
    if (m_test.size() < need) {
        m_test.reset(); // back first: it may be what stands in the way
        m_test = testmemory::borrow(need);
        if (!m_test)
            return false;
    }
    m_testOut = m_test.data() + in;
    m_testOut2 = m_testOut + out;
    return true;
}

int ZipJob::testBatch(const std::vector<const Entry*>& batch)
{
    if (batch.empty())
        return ZipSuccess;
    // The file is read on this thread only; the inflating is what two cores share.
    qint64 inBytes = 0;
    qint64 outBytes = 0;
    std::vector<qint64> at(batch.size());
    for (size_t i = 0; i < batch.size(); ++i) {
        at[i] = inBytes;
        inBytes += qint64(batch[i]->compressedSize);
        outBytes += qint64(batch[i]->size);
    }
    if (!m_decompressor && !(m_decompressor = libdeflate_alloc_decompressor()))
        return ZipOtherError;
    // Split where half the compressed bytes lie, so both threads get about the same work.
    size_t split = batch.size();
    if (batch.size() > 1 && outBytes >= kParallelMinBytes) {
        split = size_t(std::upper_bound(at.begin(), at.end(), inBytes / 2) - at.begin());
        split = std::clamp<size_t>(split, 1, batch.size() - 1);
    }
    auto largest = [&](size_t from, size_t to) {
        qint64 n = 0;
        for (size_t i = from; i < to; ++i)
            n = std::max(n, qint64(batch[i]->size));
        return n;
    };
    // Without room in the budget, each entry streams through zlib: slower, the same verdicts.
    if (!holdTestBuffers(inBytes, largest(0, split), largest(split, batch.size()))) {
        for (const Entry* e : batch)
            if (const int rc = inflateStream(*e, nullptr))
                return rc;
        return ZipSuccess;
    }
    for (size_t i = 0; i < batch.size(); ++i)
        if (!m_reader.read(qint64(batch[i]->dataOffset), m_test.data() + at[i], qint64(batch[i]->compressedSize)))
            return ZipCannotRead;

    std::vector<int> verdict(batch.size(), ZipSuccess);
    auto work = [&](libdeflate_decompressor* d, char* out, size_t from, size_t to) {
        for (size_t i = from; i < to; ++i)
            verdict[i] = inflateAndCheck(d, *batch[i], m_test.data() + at[i], out);
    };
    std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> second;
    if (split < batch.size())
        second.reset(libdeflate_alloc_decompressor());
    if (second) {
        auto other = std::async(std::launch::async, [&] { work(second.get(), m_testOut2, split, batch.size()); });
        work(m_decompressor, m_testOut, 0, split);
        other.get();
    } else {
        work(m_decompressor, m_testOut, 0, split);
        work(m_decompressor, m_testOut2, split, batch.size());
    }
    for (size_t i = 0; i < batch.size(); ++i) {
        if (verdict[i] == kStreamDecides)
            return inflateStream(*batch[i], nullptr);
        if (verdict[i] != ZipSuccess)
            return verdict[i];
        if (!advance(qint64(batch[i]->compressedSize)))
            return ZipAborted;
    }
    return ZipSuccess;
}
