#pragma once
// Decoders for every compression method a ZIP entry is likely to use. A decoder reads an entry's
// compressed bytes in chunks, writes what it decodes to a sink and checks the CRC-32 and the size, so the
// data test, extraction and the viewer share one path.
//
// Every decoder streams with bounded memory, stops as soon as the output would exceed the declared size
// (that is damage), and turns hostile or truncated input into a result code; none allocates in
// proportion to a size read from the input (LZMA dictionaries are cut to the entry's size; zstd and xz
// run under a memory limit, and data needing more is reported as unsupported, not as damage).

#include "ZipResult.h"

#include <QtGlobal>
#include <functional>

namespace zipdecode {

// The engine's result codes, with one of the decoders' own.
enum Result : int
{
    Ok = ZipSuccess,
    Aborted = ZipAborted,             // progress returned false
    CannotRead = ZipCannotRead,       // read returned a failure
    CannotWrite = ZipCannotWrite,     // the sink refused the data
    DataDamaged = ZipDataDamaged,     // CRC-32 or size mismatch, or more output than declared
    HeaderDamaged = ZipHeaderDamaged, // data that cannot be decoded (bad codes, truncated stream)
    Unsupported = -1                  // a method or a variant (huge dictionary) we do not decode: untested, not damage
};

// Reads up to max compressed bytes into dest; returns the count (> 0), or -1 when the read fails. Never
// asked for more than the entry's compressed size in all.
using ReadFn = std::function<qint64(char* dest, qint64 max)>;
// Takes decoded bytes; false when they cannot be written. May be empty (test only).
using Sink = std::function<bool(const char* data, qint64 len)>;
// Called after each chunk of compressed input with the count of bytes just read, and with 0 after every
// few hundred KiB of output, so a decoding loop reaches a progress point every few milliseconds; false
// aborts. May be empty.
using ProgressFn = std::function<bool(qint64 compressedBytes)>;

// Methods: 0 stored, 1 shrink, 2-5 reduce, 6 implode, 8 deflate, 9 deflate64, 12 bzip2, 14 LZMA,
// 93 zstd, 95 xz, 98 PPMd (through libarchive). flags are the entry's general-purpose flags (implode reads bits 1 and
// 2, LZMA bit 1).
bool canDecode(quint16 method);
int decodeEntryData(quint16 method, quint16 flags, const ReadFn& read, quint64 compressedSize, quint64 size,
                    quint32 expectedCrc, const Sink& sink, const ProgressFn& progress);

// A short name for each method, for messages and help texts ("implode", "LZMA", ...).
const char* methodName(quint16 method);

} // namespace zipdecode
