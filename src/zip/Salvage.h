#pragma once
// Salvage of a damaged archive: finds the entries whose data still tests good and writes them anew into
// an archive of their own, byte for byte, with a central directory rebuilt where the archive's own is
// missing or cannot be believed. The damaged file itself is only read.
//
// How entries are found: every local header of the file is a candidate, walked from the start, and every
// central record found anywhere (the archive's own directory, and what is left of others, as in two
// archives one after the other) is a witness.
// - An entry comes back only with proven data (it decodes to its CRC-32 and size, from the local header's
//   values or a central record's) and a name: that of a central record whose CRC-32 and sizes match the
//   proven data, else the local header's own. A central record vouches for an entry whose data cannot be
//   checked (encrypted, a method we do not decode) when it agrees with its local header in everything a
//   reader compares; such an entry is listed as unproven.
// - One entry per proven data range: the walk goes on after it, so nothing inside proven data (an archive
//   stored in an entry) is taken; a copy of an entry already taken (a repeated chunk) is not taken again.
//   The data of a damaged stored entry that starts with a local header is another archive: passed over.
// - A file whose every LF has a CR before it (moved in text mode) is also read with one CR dropped before
//   each LF; the reading that proves more entries wins.
// - Proven entries get headers written anew from proven values (flags and extra fields cut to what is
//   sound); an entry that fails the final test of the written copy is left out, not the whole copy.
// Work is bounded in the file's size: one budget of decoded bytes, signatures searched once forward, and
// at most kMaxLostNames names of lost entries (the rest are counted).
// The salvaged archive has no prefix: offsets count from its first byte. It is written to a hidden
// temporary file beside the target, flushed to disk, tested with the engine's own reader and data test,
// and only then renamed to the target; an existing target is never replaced.

#include "ZipResult.h"

#include <QString>
#include <QStringList>
#include <functional>

namespace zipsalvage {

enum class Status
{
    Written,            // the salvaged archive is in place
    WouldWrite,         // dry run: something can be recovered, nothing was written
    NothingRecoverable, // no entry came back: nothing written
    TargetExists,       // a file of the target's name is there already: left alone, nothing written
    CannotRead,         // the damaged archive cannot be opened or read
    CannotWrite,        // the temporary file could not be made or written, or not renamed into place
    FailedCheck,        // the written archive did not pass the engine's own test: discarded
    Aborted             // the run was aborted meanwhile: nothing written
};

// How a run follows a salvage: progress is called every few milliseconds (the run's event pump), and
// once aborted returns true the salvage stops and writes nothing. Both may be empty.
struct Control
{
    std::function<void()> progress;
    std::function<bool()> aborted;
};

struct Report
{
    Status status = Status::NothingRecoverable;
    bool fromDirectory = false; // the entries came from the archive's own central directory
    QStringList recovered;      // names of the recovered entries, in the order written
    QStringList unproven;       // recovered names whose data could not be checked (vouched for by the directory)
    QStringList lost;           // names of entries that did not come back, as far as they are known
    qint64 lostLeftOut = 0;     // lost entries beyond the names kept in lost, counted only
    qint64 bytesRecovered = 0;  // uncompressed bytes of the recovered entries
    qint64 bytesWritten = 0;    // size of the salvaged archive (what it would be, in a dry run)

    bool recoveredAny() const { return !recovered.isEmpty(); }
};

// The salvaged copy's name for a damaged archive: "a.zip.bad" and "a.zip" both give "a.salvaged.zip" in
// the same folder.
QString salvagedPath(const QString& damagedPath);

// Salvages source into target; with dryRun only finds what would come back and writes nothing.
Report salvage(const QString& source, const QString& target, bool dryRun, const Control& control = {});

// A short text of the status for messages ("written", "nothing recoverable", ...).
const char* statusText(Status status);

} // namespace zipsalvage
