#pragma once
// The inside of salvage, shared by its finding (SalvageScan.cpp) and its writing (Salvage.cpp): what was
// found in a damaged archive and where. Not for callers outside src/zip.

#include "zip/ZipFormat.h"

#include <QStringList>
#include <vector>

namespace zipsalvage {

// One entry that comes back: its bytes (local header, data, data descriptor) are copied as they are.
struct Found
{
    quint64 localOffset = 0;
    quint64 endOffset = 0; // after the data and its data descriptor
    QByteArray rawName;
    QString name;
    quint16 versionNeeded = 20;
    quint16 flags = 0; // as the local header has them
    quint16 method = 0;
    quint32 dosTime = 0;
    quint32 crc = 0;
    quint64 compressedSize = 0;
    quint64 size = 0;
    QByteArray localExtra;
    bool proven = false; // the data decoded to its CRC-32 and size
    int record = -1;     // the archive's own central record for it (in Plan::records), when one agrees
};

struct Plan
{
    bool fromDirectory = false;
    std::vector<Found> entries;
    QStringList lost;
    // The archive's own central records that could be read, for Found::record; their offsets are not used.
    zipformat::Archive records;
    QByteArray comment;

    int provenCount() const
    {
        int n = 0;
        for (const Found& f : entries)
            n += f.proven;
        return n;
    }
};

// Finds what of the archive at reader can come back. False when the file cannot be read at all.
bool findEntries(zipformat::FileReader& reader, Plan& plan);

} // namespace zipsalvage
