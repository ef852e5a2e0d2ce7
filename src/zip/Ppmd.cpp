// PPMd variant I (method 98) through libarchive, the one Debian library that decodes it. libarchive reads
// whole ZIP streams, so the entry is handed to it behind a local header made from the directory's
// values, and its data is fed chunk by chunk as libarchive asks for it.
#include "zip/DecoderIO.h"

#include <archive.h>
#include <archive_entry.h>
#include <cerrno>

namespace zipdecode::detail {
namespace {

void put16(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void put32(uint8_t* p, uint32_t v)
{
    put16(p, v & 0xffff);
    put16(p + 2, v >> 16);
}

struct Feed
{
    Input& in;
    uint8_t header[31] = {};
    bool headerSent = false;
};

la_ssize_t feed(struct archive*, void* data, const void** buffer)
{
    auto* f = static_cast<Feed*>(data);
    if (!f->headerSent) {
        f->headerSent = true;
        *buffer = f->header;
        return la_ssize_t(sizeof f->header);
    }
    if (f->in.p == f->in.end && !f->in.fill())
        return f->in.status() ? -1 : 0;
    *buffer = f->in.p;
    const la_ssize_t n = la_ssize_t(f->in.end - f->in.p);
    f->in.p = f->in.end;
    return n;
}

} // namespace

int unppmd(Input& in, Output& out, quint16 flags, quint64 compressedSize, quint32 crc)
{
    const quint64 size = out.left();
    if (compressedSize >= 0xffffffffu || size >= 0xffffffffu)
        return Unsupported; // would need zip64 fields in the made-up header
    Feed f{in};
    uint8_t* h = f.header;
    put32(h, 0x04034b50);
    put16(h + 4, 63);
    put16(h + 6, flags & 0x0806); // no encryption, no data descriptor: the sizes are known
    put16(h + 8, 98);
    put32(h + 14, crc);
    put32(h + 18, uint32_t(compressedSize));
    put32(h + 22, uint32_t(size));
    put16(h + 26, 1);
    h[30] = 'x';

    struct archive* a = archive_read_new();
    if (!a)
        return Unsupported;
    archive_read_support_format_zip_streamable(a);
    int rc = Ok;
    struct archive_entry* entry = nullptr;
    if (archive_read_open(a, &f, nullptr, feed, nullptr) != ARCHIVE_OK ||
        archive_read_next_header(a, &entry) != ARCHIVE_OK) {
        rc = HeaderDamaged;
    } else {
        for (;;) {
            const void* block = nullptr;
            size_t n = 0;
            la_int64_t offset = 0;
            const int r = archive_read_data_block(a, &block, &n, &offset);
            if (r == ARCHIVE_EOF)
                break;
            if (r < ARCHIVE_WARN) {
                rc = HeaderDamaged;
                break;
            }
            if (quint64(offset) != out.written() || !out.write(static_cast<const uint8_t*>(block), n)) {
                rc = out.status() ? out.status() : HeaderDamaged;
                break;
            }
            // A warning comes with the last block (libarchive's own size and CRC-32 checks): with every
            // byte out, our checks give the verdict.
            if (r == ARCHIVE_WARN) {
                if (out.left() != 0)
                    rc = HeaderDamaged;
                break;
            }
        }
    }
    // Out of memory for the model says nothing about the data: untested, never damage, so a sound archive
    // is not called damaged on a small machine.
    if (rc == HeaderDamaged && archive_errno(a) == ENOMEM)
        rc = Unsupported;
    archive_read_free(a);
    return rc;
}

} // namespace zipdecode::detail
