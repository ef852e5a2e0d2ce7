#pragma once
// The inside of salvage, shared by its finding (SalvageScan.cpp) and its writing (Salvage.cpp): what was
// found in a damaged archive and where. Not for callers outside src/zip.

#include "zip/Salvage.h"
#include "zip/ZipFormat.h"
#include "zip/ZipRecords.h"

#include <QElapsedTimer>
#include <QStringList>
#include <vector>

namespace zipsalvage {

// One entry that comes back. A proven entry gets headers written anew from proven values and only its
// data is copied; an unproven one (vouched for by a central record that agrees with its local header in
// everything a reader compares) travels byte for byte, local header and data descriptor included.
struct Found
{
    quint64 localOffset = 0; // where its local header lies in the scanned file
    quint64 dataOffset = 0;
    quint64 endOffset = 0; // after the data, and for an unproven entry its data descriptor
    QByteArray rawName;
    QString name;
    zipformat::HeaderFields fields; // the values its new headers are written from
    QByteArray localExtra;          // sanitised
    QByteArray centralExtra;        // sanitised
    QByteArray comment;
    bool proven = false;    // the data decoded to its CRC-32 and size
    bool ownRecord = false; // named by a central record of the archive's own directory, at its offset

    // The bytes this entry takes in the salvaged archive before its central record.
    quint64 writtenSize() const;
    // Its local header as written (empty for an unproven entry, whose header is copied).
    QByteArray newLocalHeader() const;
};

// Stops salvage at its progress points once the run is aborted; calls the run's progress hook (its event
// pump) at most every few milliseconds meanwhile.
class Poll
{
public:
    explicit Poll(const Control& control) : m_control(control) {}
    // True once the run asks to stop.
    bool stop();
    bool stopped() const { return m_stopped; }

private:
    const Control& m_control;
    QElapsedTimer m_clock;
    bool m_stopped = false;
};

struct Plan
{
    bool fromDirectory = false;
    bool textModeUndone = false; // found in a copy with the CR of each CR LF dropped
    std::vector<Found> entries;
    QStringList lost;
    qint64 lostLeftOut = 0; // names of lost entries beyond the cap, counted only
    qint64 lostChars = 0;
    QByteArray comment;

    void addLost(const QString& name);
    int provenCount() const
    {
        int n = 0;
        for (const Found& f : entries)
            n += f.proven;
        return n;
    }
};

// Names of lost entries kept at most; a hostile file of look-alike headers cannot grow the report.
constexpr int kMaxLostNames = 1000;
constexpr qint64 kMaxLostChars = 256 * 1024;

// Finds what of the archive at reader can come back. False when aborted.
bool findEntries(zipformat::FileReader& reader, Plan& plan, Poll& poll);

// A file moved in text mode gains a CR before every LF: true when every LF of the file has one (and there
// is one at all).
bool looksTextModeMangled(zipformat::FileReader& reader, Poll& poll);
// Writes the file with one CR dropped before each LF into out; false when a read or write fails or aborted.
bool undoTextMode(zipformat::FileReader& reader, QFile& out, Poll& poll);

} // namespace zipsalvage
