#pragma once
// The result codes every engine call answers with, shared by the reader, the decoders and ZipComponent,
// so a fault has one number wherever it is found.

#include <QtGlobal>

// Result codes of every method. 110, 200 and 410 mean damage, and only damage.
enum ZipResult : qint16
{
    ZipSuccess = 0,
    ZipStructureDamaged = 110, // no end record, central directory unreadable or outside the file, truncated
                               // file, not a ZIP archive, zero-byte file
    ZipDataDamaged = 200,      // an entry's data does not match its CRC-32 or sizes
    ZipHeaderDamaged = 410,    // a local header disagrees with the central directory, or data cannot be decoded
    ZipAborted = 1,            // Abort was set during the call; nothing was changed
    ZipArchiveNotFound = 2,    // missing file, a folder, a dangling link
    ZipCannotRead = 3,         // the archive exists but cannot be opened or read
    ZipCannotWrite = 4,        // read-only file or folder, disk full, the temporary file cannot be made
    ZipAddFileMissing = 5,     // AddEntries: the file named by EntryMask is missing
    ZipOtherError = 6,         // anything else (over a size limit, encrypted entry to extract, ...)
    ZipMultiPart = 7,          // one part of an archive split over several files: refused, not damage
    ZipArchiveChanged = 8,     // a rewrite found another file than the one read and judged: nothing was
                               // changed, and the archive is to be read and judged anew
    ZipLinkOutside = 9,        // a rewrite through a link to a file in another folder: refused, nothing written
    ZipOwnerNotKept = 10,      // the rewritten file could not keep the archive's owner, group or extended
                               // attributes (ACLs): refused, nothing changed
    ZipHardLinked = 11         // the archive has other hard links, which a rewrite would leave holding the old
                               // file: refused, nothing changed
};
