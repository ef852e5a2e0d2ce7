#include "zip/RunReport.h"

#include "zip/DiskName.h"
#include "zip/Salvage.h"
#include "zip/ShownText.h"
#include "zip/ZipComponent.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTimeZone>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

enum Verdict
{
    Clean,
    Purged,
    Repaired,
    Damaged,
    Skipped
};

// A few updates a second are readable; more only cost the terminal time.
constexpr qint64 kProgressIntervalMs = 250;

int terminalWidth()
{
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

qint64 sizeOf(const QString& path)
{
    return diskname::sizeOf(path);
}

QByteArray jsonValue(const QJsonValue& value)
{
    // A one-element array is the shortest way to have Qt escape a lone value.
    return QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).chopped(1).mid(1);
}

// One JSON object with its keys in the order given, so a reader sees the name first; the keys of extra,
// when any, follow.
using Fields = std::vector<std::pair<const char*, QJsonValue>>;

QByteArray jsonObject(const Fields& fields, const QJsonObject& extra = {})
{
    QByteArray out = "{";
    auto add = [&out](const QByteArray& key, const QJsonValue& value) {
        if (out.size() > 1)
            out += ',';
        out += jsonValue(QString::fromUtf8(key)) + ':' + jsonValue(value);
    };
    for (const auto& [key, value] : fields)
        add(key, value);
    for (auto it = extra.begin(); it != extra.end(); ++it)
        add(it.key().toUtf8(), it.value());
    return out + '}';
}

// A name or path as the report and the account show it: UTF-8 as it is, else with the bytes that are not UTF-8
// (and controls and \) escaped as \xNN, as the console shows it.
QString readable(const QString& carried)
{
    return diskname::isUtf8(carried) ? QDir::toNativeSeparators(carried) : shownPath(carried);
}

// A readable field, and beside it, for a name that is not UTF-8, its exact bytes in hex under key_bytes, so a
// script can name the file.
void addName(Fields& fields, const char* key, const char* bytesKey, const QString& carried)
{
    fields.emplace_back(key, readable(carried));
    if (!diskname::isUtf8(carried))
        fields.emplace_back(bytesKey, diskname::hexBytes(carried));
}

// The folder and name fields of an archive's object.
Fields placeFields(const QString& path)
{
    Fields fields;
    const QFileInfo file(path);
    addName(fields, "folder", "folder_bytes", file.path());
    addName(fields, "name", "name_bytes", file.fileName());
    return fields;
}

QString isoTime(qint64 ns)
{
    return QDateTime::fromMSecsSinceEpoch(ns / 1000000, QTimeZone::utc()).toString(Qt::ISODate);
}

// "tamsorel: damaged: PATH (error N: meaning), renamed to NAME.bad", or why the file stays as it is.
QString damageLine(const QString& path, qint16 code)
{
    const QString meaning = RunReport::damageMeaning(code);
    const QString why = meaning.isEmpty() ? QStringLiteral("error %1").arg(code)
                                          : QStringLiteral("error %1: %2").arg(code).arg(meaning);
    const QString name = QFileInfo(path).fileName();
    const bool renamed = sizeOf(path) < 0 && sizeOf(path + QStringLiteral(".bad")) >= 0;
    return QStringLiteral("tamsorel: damaged: %1 (%2), %3")
        .arg(shownPath(path), why,
             renamed ? QStringLiteral("renamed to ") + escapedName(diskname::toDisk(name + QStringLiteral(".bad")))
                     : QStringLiteral("left under its name: it could not be renamed"));
}

} // namespace

struct RunReport::Current
{
    QString path;
    qint16 code = 0;
    bool doubleZip = false;
    QStringList purged;
    QJsonObject salvage;
    QStringList why;
    qint64 bytesBefore = -1;
    QElapsedTimer clock;
    int data = 0; // 0: no cache in the run, 1: read this run, 2: the cached test stood
    qint64 testedNs = 0;
};

RunReport::RunReport() = default;

RunReport::~RunReport() = default;

bool RunReport::openReport(const QString& path, QString* error)
{
    if (path == QLatin1String("-")) {
        auto out = std::make_unique<QFile>();
        if (!out->open(stdout, QIODevice::WriteOnly)) {
            if (error)
                *error = QStringLiteral("cannot write the report to standard output");
            return false;
        }
        m_report = std::move(out);
        return true;
    }
    m_report = std::make_unique<QSaveFile>(path);
    if (!m_report->open(QIODevice::WriteOnly)) {
        if (error)
            *error = QStringLiteral("cannot write the report %1: %2")
                         .arg(QDir::toNativeSeparators(path), m_report->errorString());
        m_report.reset();
        return false;
    }
    return true;
}

void RunReport::runStarted(const QString& folder, int archives, ZipComponent* component)
{
    if (!m_started)
        m_runClock.start();
    m_started = true;
    m_folders.append(folder);
    startAccount(folder, archives);
    m_total = archives;
    m_archives += archives;
    m_index = 0;
    m_run = {};
    m_cacheRun = false;
    if (m_progress && component && !m_status)
        m_status = QObject::connect(component, &ZipComponent::Status, component,
                                    [this](qint16 percent) { showProgress(percent, false); });
}

void RunReport::archiveStarted(const QString& path)
{
    ++m_index;
    m_current = std::make_unique<Current>();
    m_current->path = path;
    m_current->bytesBefore = sizeOf(path);
    m_current->clock.start();
    showProgress(0, m_index == 1);
}

void RunReport::noteCode(qint16 code)
{
    if (m_current && m_current->code == 0)
        m_current->code = code;
}

void RunReport::noteWhy(const QString& why)
{
    if (m_current)
        m_current->why.append(why);
}

void RunReport::doubleFound()
{
    if (m_current)
        m_current->doubleZip = true;
}

void RunReport::entryPurged(const QString& entry)
{
    if (m_current)
        m_current->purged.append(entry);
}

void RunReport::dataSource(bool fromCache, qint64 testedNs)
{
    if (!m_current)
        return;
    m_cacheRun = true;
    m_current->data = fromCache ? 2 : 1;
    m_current->testedNs = testedNs;
}

QJsonObject RunReport::salvageObject(const zipsalvage::Report& r, const QString& target)
{
    using zipsalvage::Status;
    if (r.status == Status::Written || r.status == Status::WouldWrite) {
        ++m_salvaged;
        m_entriesRecovered += r.recovered.size();
    }
    const QString file = QFileInfo(target).fileName();
    QJsonObject o{{"status", QLatin1String(zipsalvage::statusText(r.status))},
                  {"file", readable(file)},
                  {"from_directory", r.fromDirectory},
                  {"recovered", r.recovered.size()},
                  {"unproven", QJsonArray::fromStringList(r.unproven)},
                  {"lost", QJsonArray::fromStringList(r.lost)},
                  {"lost_left_out", r.lostLeftOut},
                  {"bytes", r.bytesRecovered},
                  {"bytes_written", r.bytesWritten}};
    if (!diskname::isUtf8(file))
        o.insert(QStringLiteral("file_bytes"), diskname::hexBytes(file));
    return o;
}

void RunReport::salvaged(const zipsalvage::Report& report, const QString& target)
{
    const QJsonObject o = salvageObject(report, target);
    if (m_current)
        m_current->salvage = o;
}

void RunReport::salvagedEarlier(const QString& path, const zipsalvage::Report& report, const QString& target)
{
    const QJsonObject o = salvageObject(report, target);
    if (m_report) {
        Fields fields = placeFields(path);
        fields.emplace_back("salvage", o);
        writeObject(jsonObject(fields));
    }
}

QStringList RunReport::archiveEnded(Ending ending, bool quarantined, bool repaired)
{
    m_lastSound = false;
    m_damageLine.clear();
    if (!m_current)
        return {};
    const Current& c = *m_current;
    Verdict verdict = Clean;
    if (quarantined || ending == Ending::Damaged)
        verdict = Damaged;
    else if (repaired)
        verdict = Repaired;
    else if (!c.purged.isEmpty())
        verdict = Purged;
    else if (c.code != 0 || c.doubleZip || ending == Ending::Aborted)
        verdict = Skipped; // not read, not repaired, or cut short with nothing done
    m_lastSound = verdict == Clean || verdict == Purged || verdict == Repaired;
    for (Tally* t : {&m_run, &m_all}) {
        ++t->index;
        ++t->counts[verdict];
        t->entriesRemoved += c.purged.size();
        if (c.data == 2) {
            ++t->fromCache;
            if (t->oldestCachedNs == 0 || c.testedNs < t->oldestCachedNs)
                t->oldestCachedNs = c.testedNs;
        }
    }
    if (c.bytesBefore > 0)
        m_bytesDone += c.bytesBefore;

    if (m_report) {
        // A quarantined archive lives on under its new name.
        qint64 after = sizeOf(c.path);
        if (after < 0)
            after = sizeOf(c.path + QStringLiteral(".bad"));
        Fields fields = placeFields(c.path);
        fields.insert(fields.end(), {{"verdict", verdictName(verdict)},
                                     {"code", c.code},
                                     {"entries_removed", c.purged.size()},
                                     {"bytes_before", c.bytesBefore},
                                     {"bytes_after", after},
                                     {"ms", c.clock.elapsed()},
                                     {"entries", QJsonArray::fromStringList(c.purged)}});
        // With the verdict cache: where the verdict on the data comes from, and how old that test is.
        if (c.data != 0) {
            fields.emplace_back("data", c.data == 2 ? QStringLiteral("cache") : QStringLiteral("read"));
            fields.emplace_back("data_tested", c.testedNs > 0 ? QJsonValue(isoTime(c.testedNs)) : QJsonValue());
        }
        writeObject(jsonObject(fields, c.salvage.isEmpty() ? QJsonObject() : QJsonObject{{"salvage", c.salvage}}));
    }

    if (verdict == Damaged && !dryRun)
        m_damageLine = damageLine(c.path, c.code);
    QStringList lines;
    if (dryRun) {
        const QString shown = shownPath(c.path);
        if (verdict == Damaged)
            lines << QStringLiteral("%1: would be renamed to *.bad (error %2)").arg(shown).arg(c.code);
        if (verdict == Repaired)
            lines << shown + QStringLiteral(": double zip, would be repaired");
        for (const QString& entry : c.purged)
            lines << shown + QStringLiteral(": would purge ") + entry;
    }
    addToAccount(verdict, c, ending == Ending::Aborted);
    m_current.reset();
    if (m_progress && !lines.isEmpty()) {
        // The lines go to stdout, often the same terminal: they must not land inside the progress line.
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        m_sinceShown.invalidate();
    }
    return lines;
}

void RunReport::runEnded()
{
    QObject::disconnect(m_status);
    if (m_progress && m_index > 0) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
    // On a terminal, what this folder's run did not read is said; the summary line stays as it is.
    if (m_progress && m_cacheRun) {
        const QString line =
            m_run.fromCache == 0
                ? QStringLiteral("tamsorel: every archive's data was read; none was taken from the cache")
                : QStringLiteral("tamsorel: %1 of %2 archive(s) taken from the cache (data last read "
                                 "%3 at the earliest), the rest read")
                      .arg(m_run.fromCache)
                      .arg(m_run.index)
                      .arg(isoTime(m_run.oldestCachedNs));
        std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
        std::fflush(stderr);
    }
}

QString RunReport::drySummary(bool allFolders) const
{
    const Tally& t = allFolders ? m_all : m_run;
    return QStringLiteral(" %1 zip(s) tested, dry run: %2 would be renamed to *.bad, %3 double zip(s) would be "
                          "fixed, %4 entries would be purged, no file changed")
        .arg(t.index)
        .arg(t.counts[Damaged])
        .arg(t.counts[Repaired])
        .arg(t.entriesRemoved);
}

void RunReport::finish(int status)
{
    if (m_finished || !m_report)
        return;
    m_finished = true;
    QStringList folders;
    for (const QString& folder : m_folders)
        folders << readable(folder);
    Fields fields{{"summary", true}};
    addName(fields, "folder", "folder_bytes", m_folders.isEmpty() ? QString() : m_folders.first());
    fields.insert(fields.end(), {{"folders", QJsonArray::fromStringList(folders)},
                                 {"status", status},
                                 {"aborted", m_aborted},
                                 {"dry_run", dryRun},
                                 {"ran", m_started},
                                 {"archives", m_archives},
                                 {"processed", m_all.index},
                                 {"clean", m_all.counts[Clean]},
                                 {"purged", m_all.counts[Purged]},
                                 {"repaired", m_all.counts[Repaired]},
                                 {"damaged", m_all.counts[Damaged]},
                                 {"skipped", m_all.counts[Skipped]},
                                 {"entries_removed", m_all.entriesRemoved},
                                 {"ms", m_started ? m_runClock.elapsed() : 0}});
    writeObject(jsonObject(fields, summaryExtras()));
    auto* saved = qobject_cast<QSaveFile*>(m_report.get());
    if (saved ? !saved->commit() : !m_report->flush())
        std::fprintf(stderr, "tamsorel: cannot write the report %s: %s\n",
                     qPrintable(QDir::toNativeSeparators(m_report->fileName())), qPrintable(m_report->errorString()));
    m_report.reset();
}

QString RunReport::damageMeaning(qint16 code)
{
    switch (code) {
    case ZipStructureDamaged:
        return QStringLiteral("the archive's structure is damaged (no end record, an unreadable central directory, "
                              "a cut-off file, or not a ZIP archive)");
    case ZipDataDamaged:
        return QStringLiteral("an entry's data does not match its CRC-32 or its sizes");
    case ZipHeaderDamaged:
        return QStringLiteral("a local header disagrees with the central directory, or an entry cannot be decoded");
    default:
        return {};
    }
}

QJsonObject RunReport::summaryExtras() const
{
    QJsonObject extras;
    if (salvage) {
        extras.insert(QStringLiteral("salvaged"), m_salvaged);
        extras.insert(QStringLiteral("entries_recovered"), m_entriesRecovered);
    }
    // A shard's summary says which shard it is and how many folders all shards share out.
    if (m_shards > 0) {
        extras.insert(QStringLiteral("shard"), QStringLiteral("%1/%2").arg(m_shard).arg(m_shards));
        extras.insert(QStringLiteral("shard_index"), m_shard);
        extras.insert(QStringLiteral("shard_count"), m_shards);
        extras.insert(QStringLiteral("folders_total"), m_shardFolders);
    }
    return extras;
}

QString RunReport::verdictName(int verdict)
{
    static const char* const names[] = {"clean", "purged", "repaired", "damaged", "skipped"};
    return verdict >= 0 && verdict <= Skipped ? QLatin1String(names[verdict]) : QString();
}

QString RunReport::progressText(int n, int total, const QString& name, double megabytesPerSecond, int width)
{
    const QString head = QStringLiteral("[%1/%2] ").arg(n).arg(total);
    const QString tail = QStringLiteral("  %1 MB/s").arg(megabytesPerSecond, 0, 'f', 1);
    QString shown = name;
    // The line must fit: a wrapped line would not be overwritten in place.
    const qsizetype room = width > 0 ? width - 1 - head.size() - tail.size() : shown.size();
    if (shown.size() > room)
        shown = room > 3 ? QStringLiteral("...") + shown.right(room - 3) : QString();
    return head + shown + tail;
}

void RunReport::writeObject(const QByteArray& json)
{
    if (m_report) {
        m_report->write(json);
        m_report->write("\n");
    }
}

void RunReport::showProgress(qint16 percent, bool force)
{
    if (!m_progress || !m_current)
        return;
    if (!force && m_sinceShown.isValid() && m_sinceShown.elapsed() < kProgressIntervalMs)
        return;
    m_sinceShown.start();
    const qint64 current = m_current->bytesBefore > 0 ? m_current->bytesBefore * qBound(0, int(percent), 100) / 100 : 0;
    const double seconds = double(qMax<qint64>(m_runClock.elapsed(), 1)) / 1000.0;
    const double rate = double(m_bytesDone + current) / (1024.0 * 1024.0) / seconds;
    const QString name = QFileInfo(m_current->path).fileName();
    const QString text =
        progressText(m_index, m_total, diskname::isUtf8(name) ? shown::escapedControls(name) : shownPath(name), rate,
                     terminalWidth());
    std::fputs("\r\033[K", stderr);
    std::fputs(text.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

// The account keeps its own counts: those above add up every run of an unattended process for its summary.
struct RunReport::Account
{
    QString folder;
    QDateTime started;
    int archives = 0;
    int processed = 0;
    bool aborted = false;
    qint64 counts[5] = {};
    qint64 entriesRemoved = 0;
    QStringList lines;
};

void RunReport::startAccount(const QString& folder, int archives)
{
    m_account = std::make_unique<Account>();
    m_account->folder = folder;
    m_account->started = QDateTime::currentDateTime();
    m_account->archives = archives;
}

void RunReport::addToAccount(int verdict, const Current& archive, bool aborted)
{
    if (!m_account)
        return;
    Account& a = *m_account;
    ++a.processed;
    a.aborted = a.aborted || aborted;
    ++a.counts[verdict];
    a.entriesRemoved += archive.purged.size();
    const QString name = readable(QFileInfo(archive.path).fileName());
    const QString would = dryRun ? QStringLiteral("would be ") : QString();
    QStringList facts;
    if (verdict == Damaged) {
        const bool renamed = sizeOf(archive.path) < 0 && sizeOf(archive.path + QStringLiteral(".bad")) >= 0;
        facts << QStringLiteral("damaged (error %1), %2 %3.bad")
                     .arg(archive.code)
                     .arg(renamed || dryRun ? would + QStringLiteral("renamed to") : QStringLiteral("not renamed to"),
                          name);
    }
    if (verdict == Repaired)
        facts << QStringLiteral("double zip ") +
                     (dryRun ? QStringLiteral("would be repaired") : QStringLiteral("repaired"));
    if (!archive.purged.isEmpty())
        facts << QStringLiteral("%1 entr%2 %3purged: %4")
                     .arg(archive.purged.size())
                     .arg(archive.purged.size() == 1 ? QStringLiteral("y") : QStringLiteral("ies"),
                          dryRun ? QStringLiteral("would be ") : QString(), archive.purged.join(QStringLiteral(", ")));
    if ((verdict == Repaired || !archive.purged.isEmpty()) && !dryRun) {
        const qint64 after = sizeOf(archive.path);
        if (archive.bytesBefore >= 0 && after >= 0)
            facts << QStringLiteral("%1 bytes before, %2 after").arg(archive.bytesBefore).arg(after);
    }
    facts << archive.why;
    if (verdict == Skipped && archive.why.isEmpty())
        facts << (archive.code != 0 ? QStringLiteral("not cleaned (error %1)").arg(archive.code)
                                    : QStringLiteral("not finished: the run was aborted"));
    if (!facts.isEmpty())
        a.lines << name + QStringLiteral(": ") + facts.join(QStringLiteral("; "));
}

QString RunReport::accountText() const
{
    if (!m_account)
        return {};
    const Account& a = *m_account;
    QStringList out;
    out << QStringLiteral("Last run%1 in %2, started %3")
               .arg(dryRun ? QStringLiteral(" (dry run)") : QString(), readable(a.folder),
                    a.started.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
    out << QString();
    if (a.lines.isEmpty())
        out << QStringLiteral("Nothing to rename, repair or purge, and nothing left undone.");
    out << a.lines;
    out << QString();
    out << QStringLiteral("%1 of %2 zip(s) processed%3")
               .arg(a.processed)
               .arg(a.archives)
               .arg(a.aborted || a.processed < a.archives ? QStringLiteral(", then aborted") : QString());
    out << QStringLiteral("%1 renamed to *.bad, %2 double zip(s) repaired, %3 purged (%4 entries)")
               .arg(a.counts[Damaged])
               .arg(a.counts[Repaired])
               .arg(a.counts[Purged])
               .arg(a.entriesRemoved);
    out << QStringLiteral("%1 not cleaned or not finished, %2 clean").arg(a.counts[Skipped]).arg(a.counts[Clean]);
    return out.join(QLatin1Char('\n')) + QLatin1Char('\n');
}
