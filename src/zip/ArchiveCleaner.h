#pragma once
// ArchiveCleaner: the work of a clean-all run on one archive, without a window: list and test it, decide
// the double-zip repair and which purge rows remove which lines, and make all of it one rewrite. Any thread
// may run it with a ZipComponent of its own; the window's handlers show each step from its results.

#include "zip/ArchiveStamp.h"
#include "zip/ZipComponent.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

// The listing and test of one archive.
struct ArchiveListing
{
    QString path;
    ArchiveStamp stamp; // invalid when the file changed while it was read
    qint16 result = ZipSuccess;
    QStringList names; // entry names in archive order, as Listing reports them
    // Set by listings for the verdict cache: the directory's hash, whether the entries' data was taken as
    // tested from the cache instead of being read, and when it was last fully tested (ns since the epoch).
    QByteArray directoryHash;
    bool fromCache = false;
    qint64 testedNs = 0;

    // True when the file is still the one that was read.
    bool current() const { return stamp.valid() && ArchiveStamp::of(path) == stamp; }
};

// Which purge rows remove which lines of the purge pass, and the one rewrite that does it.
struct CleanPlan
{
    struct Removal
    {
        int line;    // position in the pass's lines as they were when it began
        QString row; // the purge row that removes it, as stored
    };
    QString repairFile;            // the description to add back in place of every copy; empty: no repair
    std::vector<Removal> removals; // in the order of the lines
    std::vector<Removal> refusals; // lines a row matches that stay: as a mask the row would take other entries
    QStringList masks;             // the rows that remove lines, each once, in the order of the pass

    bool changes() const { return !repairFile.isEmpty() || !masks.isEmpty(); }
    bool removes(int line) const;
};

struct FolderVerdicts;

class ArchiveCleaner
{
public:
    // The purge row whose lower case equals a line's lower case, as stored; null when none.
    using RowFinder = std::function<QString(const QString& line)>;

    static const QString kDescription; // "file_id.diz"

    ArchiveCleaner(ZipComponent& zip, QString path);

    // Lists and tests every entry ("*.*") through the component; its Listing and Status go out as usual.
    ArchiveListing list();
    // The same with the verdict cache: an archive whose cached verdict may stand is listed from its end
    // record and central directory alone (no entry read), any other is listed and tested in full; either
    // listing carries its directory hash.
    ArchiveListing list(const FolderVerdicts* verdicts);
    // Lists from the end record and central directory alone, with their hash; nothing else is read.
    ArchiveListing listDirectory();

    // True when more than one name, lower-cased, is exactly the description's.
    static bool isDoubleZip(const QStringList& names);

    // The purge pass over lines (List1's lines when the pass begins) of an archive that holds names, after
    // the repair when repairFile is given. A line goes when a row matches it and the row, as a mask, takes
    // only entries named like itself at that point of the pass (a row with '*' or '?' is a wildcard to the
    // component); every line is looked at once, in order.
    static CleanPlan plan(const QStringList& lines, const QStringList& names, const QString& repairFile,
                          const RowFinder& rowFor);

    // The plan's repair and deletions in one rewrite. *addBack is that rewrite's result when the plan has a
    // repair (0: repaired). When it fails without damage (the description cannot go back), the deletions are
    // made alone, as they would have been after a failed add. With judged (the listing's stamp, invalid when
    // the file changed while it was listed), a file other than the one listed is left as it is and the
    // result is ZipArchiveChanged: the plan was made for another file, which is to be listed anew. produced and
    // producedHash, when given, tell the file the rewrite put in place (as RewriteEntries does); they stay
    // invalid and empty when nothing was rewritten.
    qint16 rewrite(const CleanPlan& plan, qint16* addBack, const ArchiveStamp* judged = nullptr,
                   ArchiveStamp* produced = nullptr, QByteArray* producedHash = nullptr);

private:
    ArchiveListing read(bool directoryOnly, bool hash);

    ZipComponent& m_zip;
    QString m_path;
};
