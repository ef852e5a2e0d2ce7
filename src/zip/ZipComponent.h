#pragma once
// ZipComponent: the program's zip control (XceedZip1). Callers set properties, call one method and read
// a 16-bit result code; Listing and Status are raised on the calling thread during the call.
//
// How it works:
// - Archives are read by our own parser (end record, zip64 records, central directory, every local
//   header). The same entry name more than once is valid (double zips), so entries are matched by index,
//   never by name lookup. A local header whose signature or name differs from the central directory is
//   damage (ZipHeaderDamaged).
// - The archive of a file is the one whose end record ends it (ZipDirectory.cpp states the rule): of two
//   archives written one after the other, the second, the first being its prefix. Bytes in front of the
//   archive and behind its end record are kept byte for byte by every rewrite. Entries whose bytes overlap
//   are damage (ZipStructureDamaged).
// - Names: UTF-8 when the entry's flag says so (or an Info-ZIP Unicode path field matches the stored
//   name), CP437 otherwise. EntryMask matches the whole name, folder part included, ignoring letter case;
//   `*` matches any run of characters, `?` one character, and a mask ending in ".*" also matches names
//   without a dot ("*.*" matches every entry).
// - The data test inflates entries of up to kFastTestLimit bytes with libdeflate, in memory borrowed from one
//   pool for the whole process (zip/TestMemory.h; without room there they stream), streams larger ones
//   through zlib and every other method through the decoders of zip/Decoders.h, all read by our own
//   reader (so archives behind a prefix are tested whole). Encrypted entries and
//   methods no decoder serves are listed and left untested; they are not damage.
// - DeleteEntries and AddEntries copy the byte ranges of the entries that stay (local header, data, data
//   descriptor) into a hidden temporary file in the archive's folder, write a new central directory
//   (zip64 records when needed) and rename the temporary file over the archive only when it is
//   complete. Nothing is recompressed; names, times, extra fields, the archive comment and the file's
//   permissions stay. The temporary file is private (0600) until it is complete, then given the archive's
//   mode and synced before the rename; the folder is synced after it. Removing the last entry leaves a
//   valid empty archive that reads without a shift. A rewrite that finds another file under the name
//   when it replaces it (or than the one judged, for RewriteEntries) changes nothing: ZipArchiveChanged. A symbolic
//   link to an archive in the same folder is followed: the target is rewritten, the link stays; a link out of the
//   folder is not rewritten (ZipLinkOutside). The new file keeps the archive's owner, group, mode and extended
//   attributes, or the archive is not rewritten (ZipOwnerNotKept); an archive with other hard links is not
//   rewritten either (ZipHardLinked). A process killed mid-rewrite leaves its
//   temporary file; removeStaleTemporaries() and removeStaleTemporariesIn() clear those.
// - ExtractEntries writes each matching entry into ExtractFolder under its base name, lower-cased: the
//   name after the last "/" or "\", without a drive letter. "..", "." and folder entries are skipped, so
//   nothing is ever written outside ExtractFolder. ExtractFolder itself is created when its parent
//   exists. Each file goes to a temporary name first and replaces the target only when its CRC and size
//   are right. An entry larger than kMaxExtractSize is refused (ZipOtherError).
//
// Abort: a call stops at its next progress point once Abort becomes true while it runs; a call that
// starts with Abort already true runs normally. Properties other than Abort are copied when a call
// starts. The progress hook (the event pump) may run other handlers, even other calls, meanwhile.

#include "ArchiveStamp.h"
#include "ZipResult.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

class ZipComponent : public QObject
{
    Q_OBJECT
public:
    // Entries whose compressed and uncompressed sizes are both at most this are tested in memory.
    static constexpr qint64 kFastTestLimit = 16 * 1024 * 1024;
    // ExtractEntries refuses to write an entry larger than this (a hostile entry cannot fill the disk).
    static constexpr qint64 kMaxExtractSize = 256 * 1024 * 1024; // no more than AddEntries takes back
    // AddEntries compresses the file in memory; larger files are refused with ZipOtherError.
    static constexpr qint64 kMaxAddSize = 256 * 1024 * 1024;

    explicit ZipComponent(QObject* parent = nullptr);

    // Properties, public as the callers set them directly.
    bool Abort = false;         // read at progress points during a call; stays true until set false
    bool AlternateMode = false; // accepted, no effect
    QString ArchivePath;
    QString EntryMask;
    QString ExtractFolder;
    // ListContents tests the data of the listed entries when true; false lists (and checks the
    // structure, local headers included) without reading any entry data.
    bool TestData = true;
    // ListContents lists from the end record and central directory alone, reading no local header and no
    // entry data; for an archive whose every byte was checked before and whose directory is unchanged.
    bool DirectoryOnly = false;
    // ListContents keeps a hash of the archive's end records and central directory (directoryHash()).
    bool HashDirectory = false;

    qint16 ListContents();
    qint16 DeleteEntries();
    qint16 ExtractEntries(qint16 mode);
    qint16 AddEntries(qint16 mode);
    // DeleteEntries for every mask and AddEntries for addFile (when not empty) in one rewrite: the result
    // holds the same entries, in the same order, with the same bytes, as those calls one after the other
    // with the add first. A mask that takes the added file's name takes the added entry too. With judged,
    // the stamp of the file that was listed and tested, a rewrite of any other file (replaced or changed
    // since, or while it is rewritten) changes nothing and returns ZipArchiveChanged. A rewrite that puts a
    // new file in place tells which: *produced is its stamp as it stands after the rename, *producedHash the
    // hash directoryHash() gives after a listing of it; both are left as they were otherwise.
    qint16 RewriteEntries(const QStringList& deleteMasks, const QString& addFile = {},
                          const ArchiveStamp* judged = nullptr, ArchiveStamp* produced = nullptr,
                          QByteArray* producedHash = nullptr);

    // Raises Listing for each name and then Status 100, as ListContents does, for a listing made by another
    // component (one that read the archive ahead on another thread).
    void replayListing(const QStringList& names);
    // Raises Status for the progress of such a listing while it is made.
    void replayStatus(qint16 percent) { emit Status(percent); }

    // BLAKE2b-256 of the central directory and every byte after it (zip64 end records, end record, comment) as
    // the last ListContents with HashDirectory read them; empty when that listing failed or did not hash.
    QByteArray directoryHash() const { return m_directoryHash; }

    static bool isDamage(qint16 code);
    // The file name ExtractEntries writes an entry under: its last path part without a drive letter,
    // control characters made "_", lower-cased; empty when nothing safe remains.
    static QString extractedName(const QString& entryName);
    // Called at progress points (at most every few milliseconds and with each Status report).
    void setProgressHook(std::function<void()> hook);
    // Removes the temporary file of every rewrite or extraction in flight; for an abrupt end of the
    // process while a call runs inside the event pump.
    static void discardPendingWrites();
    // Removes the temporary files that rewrites of this archive left behind when the process was killed
    // (".<name>.<8 hex digits>.tmp" beside the archive, or beside the file a link to it points to in the same
    // folder); files of rewrites in flight in this process stay. Returns how many went.
    static int removeStaleTemporaries(const QString& archivePath);
    // The same for every archive ("*.zip") of a folder, in one read of the folder.
    static int removeStaleTemporariesIn(const QString& folder);

signals:
    void Listing(const QString& name);
    void Status(qint16 percent);

private:
    friend class ZipJob;
    std::function<void()> m_progressHook;
    QByteArray m_directoryHash;
};
