#pragma once
// Salvage of a damaged archive: finds the entries whose data still tests good and writes them anew into
// an archive of their own, byte for byte, with a central directory rebuilt where the archive's own is
// missing or cannot be believed. The damaged file itself is only read.
//
// How entries are found:
// - When the central directory is readable, its entries are the candidates: each one's local header must
//   agree with it and its data must decode to the CRC-32 and sizes it names.
// - Otherwise (or when that finds fewer entries) local headers are walked from the start: sizes come from
//   the header, or for a streamed entry from the data descriptor after its data, found by searching for a
//   descriptor whose compressed size matches the bytes before it and whose CRC-32 the data decodes to.
//   After a damaged entry the walk searches for the next local header signature, so one bad entry does
//   not hide the rest. Whatever of the central directory follows the last entry still vouches for entries
//   and gives its own records (attributes, comments) to the new directory.
// - An entry whose data cannot be checked (encrypted, a method we do not decode) is kept only when a
//   central record vouches for it, and is listed as unproven.
// The salvaged archive has no prefix: offsets count from its first byte. It is written to a hidden
// temporary file beside the target, flushed to disk, tested with the engine's own reader and data test,
// and only then renamed to the target; an existing target is never replaced.

#include "ZipResult.h"

#include <QString>
#include <QStringList>

namespace zipsalvage {

enum class Status
{
    Written,            // the salvaged archive is in place
    WouldWrite,         // dry run: something can be recovered, nothing was written
    NothingRecoverable, // no entry came back: nothing written
    TargetExists,       // a file of the target's name is there already: left alone, nothing written
    CannotRead,         // the damaged archive cannot be opened or read
    CannotWrite,        // the temporary file could not be made or written, or not renamed into place
    FailedCheck         // the written archive did not pass the engine's own test: discarded
};

struct Report
{
    Status status = Status::NothingRecoverable;
    bool fromDirectory = false; // the entries came from the archive's own central directory
    QStringList recovered;      // names of the recovered entries, in the order written
    QStringList unproven;       // recovered names whose data could not be checked (vouched for by the directory)
    QStringList lost;           // names of entries that did not come back, as far as they are known
    qint64 bytesRecovered = 0;  // uncompressed bytes of the recovered entries
    qint64 bytesWritten = 0;    // size of the salvaged archive (what it would be, in a dry run)

    bool recoveredAny() const { return !recovered.isEmpty(); }
};

// The salvaged copy's name for a damaged archive: "a.zip.bad" and "a.zip" both give "a.salvaged.zip" in
// the same folder.
QString salvagedPath(const QString& damagedPath);

// Salvages source into target; with dryRun only finds what would come back and writes nothing.
Report salvage(const QString& source, const QString& target, bool dryRun);

// A short text of the status for messages ("written", "nothing recoverable", ...).
const char* statusText(Status status);

} // namespace zipsalvage
