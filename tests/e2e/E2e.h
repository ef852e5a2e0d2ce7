#pragma once
// Shared pieces of the end-to-end tests: a private copy of the program, running it unattended, and files
// checked from the outside.

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <zlib.h>

#include "testsupport/TestArchives.h"

namespace e2e {

// Sanitizer builds run the program many times slower; big workloads shrink there.
constexpr bool kSanitized = E2E_SANITIZED;

// The program with its data files in a folder of its own: one instance runs per program folder, and each
// test writes its own purge list.
class Program
{
public:
    explicit Program(const QString& parent)
    {
        m_folder = parent + QStringLiteral("/prog");
        QDir().mkpath(m_folder);
        const QFileInfo binary(QStringLiteral(TAMSOREL_BINARY));
        m_exe = m_folder + QStringLiteral("/tamsorel");
        m_ok = QFile::copy(binary.absoluteFilePath(), m_exe);
        for (const char* name : {"purge.txt", "error.wav", "thunder.wav", "Tamsorel.hlp"})
            m_ok = m_ok && QFile::copy(binary.absolutePath() + u'/' + QLatin1String(name),
                                       m_folder + u'/' + QLatin1String(name));
        QFile::setPermissions(m_exe, QFile::permissions(m_exe) | QFileDevice::ExeOwner | QFileDevice::ExeGroup |
                                         QFileDevice::ExeOther);
    }
    bool ok() const { return m_ok; }
    QString folder() const { return m_folder; }
    QString exe() const { return m_exe; }
    QString purgePath() const { return m_folder + QStringLiteral("/purge.txt"); }
    bool setPurge(const QByteArray& text) const
    {
        QFile f(purgePath());
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
    }

private:
    QString m_folder;
    QString m_exe;
    bool m_ok = false;
};

inline QProcessEnvironment environment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // A sanitizer report must not pass for the program's own "aborted" status 1.
    const QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               (asan.isEmpty() ? QString() : asan + u':') + QStringLiteral("exitcode=86"));
    const QString ubsan = env.value(QStringLiteral("UBSAN_OPTIONS"));
    env.insert(QStringLiteral("UBSAN_OPTIONS"),
               (ubsan.isEmpty() ? QString() : ubsan + u':') + QStringLiteral("exitcode=87:print_stacktrace=1"));
    return env;
}

inline void prepare(QProcess& p, const Program& program, const QString& folder,
                    std::function<void()> childModifier = {})
{
    p.setProgram(program.exe());
    p.setArguments({folder});
    p.setWorkingDirectory(program.folder());
    p.setProcessEnvironment(environment());
    if (childModifier)
        p.setChildProcessModifier(childModifier);
}

struct Result
{
    bool finished = false;
    QProcess::ExitStatus status = QProcess::CrashExit;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    // True when the program printed a sanitizer report.
    bool sanitizerReport() const
    {
        return err.contains("ERROR: AddressSanitizer") || err.contains("runtime error:") ||
               err.contains("ERROR: LeakSanitizer");
    }
};

inline Result collect(QProcess& p, int timeoutMs)
{
    Result r;
    r.finished = p.waitForFinished(timeoutMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished();
    }
    r.status = p.exitStatus();
    r.exitCode = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

inline Result run(const Program& program, const QString& folder, std::function<void()> childModifier = {},
                  int timeoutMs = 600000)
{
    QProcess p;
    prepare(p, program, folder, std::move(childModifier));
    p.start();
    if (!p.waitForStarted())
        return {};
    return collect(p, timeoutMs);
}

// An ended run: normal exit, the status given (0, or 3 when it found damage), one summary line, no sanitizer
// report.
#define E2E_VERIFY_ENDED_WITH(r, expected)                                                                             \
    do {                                                                                                               \
        QVERIFY2(!(r).sanitizerReport(), (r).err.constData());                                                         \
        QVERIFY2((r).finished, "the program did not finish in time");                                                  \
        QCOMPARE((r).status, QProcess::NormalExit);                                                                    \
        QVERIFY2(                                                                                                      \
            (r).exitCode == (expected),                                                                                \
            qPrintable(QStringLiteral("exit %1, stderr: %2").arg((r).exitCode).arg(QString::fromLocal8Bit((r).err)))); \
        QVERIFY2((r).out.contains(" zip(s) processed,"), (r).out.constData());                                         \
    } while (false)

#define E2E_VERIFY_ENDED(r) E2E_VERIFY_ENDED_WITH(r, 0)

inline QByteArray hashOf(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(&f);
    return h.result().toHex();
}

// Temporary files of the program's safe rewrite (".<archive>.<8 hex digits>.tmp") in a folder.
inline QStringList temporaries(const QString& folder)
{
    static const QRegularExpression pattern(QStringLiteral("^\\..+\\.[0-9a-f]{8}\\.tmp$"));
    QStringList found;
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System))
        if (pattern.match(name).hasMatch())
            found.append(name);
    return found;
}

// True while process pid holds path open (Linux /proc).
inline bool holdsOpen(qint64 pid, const QString& path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    QDirIterator it(QStringLiteral("/proc/%1/fd").arg(pid), QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        const QString target = QFileInfo(it.next()).symLinkTarget();
        if (target == canonical || target == path)
            return true;
    }
    return false;
}

// Every file below a folder, relative, with links shown as links.
inline QStringList tree(const QString& folder)
{
    QStringList found;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found.append(QDir(folder).relativeFilePath(it.next()));
    found.sort();
    return found;
}

// Writes a ZIP archive of stored entries, streaming: small entries given in full, then one large entry of
// pseudo-random bytes, so archives of hundreds of megabytes cost no memory to make.
class StreamZip
{
public:
    explicit StreamZip(const QString& path) : m_file(path)
    {
        m_ok = m_file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    }

    void add(const QByteArray& name, const QByteArray& data)
    {
        const quint32 crc = quint32(crc32(0, reinterpret_cast<const Bytef*>(data.constData()), uInt(data.size())));
        header(name, crc, quint64(data.size()), quint64(data.size()), 0);
        put(data);
    }

    void addRandom(const QByteArray& name, qint64 size, quint32 seed)
    {
        // The CRC comes first in the local header: generate twice rather than seek back.
        quint32 crc = 0;
        forChunks(size, seed, [&](const QByteArray& chunk) {
            crc = quint32(crc32(crc, reinterpret_cast<const Bytef*>(chunk.constData()), uInt(chunk.size())));
        });
        header(name, crc, quint64(size), quint64(size), 0);
        forChunks(size, seed, [&](const QByteArray& chunk) { put(chunk); });
    }

    // A deflated entry of `blocks` times 16 MiB of zeros (about 1000:1), zip64 when it passes 4 GiB. Each
    // block is compressed once and ends in a full flush, which resets the compressor, so the stream is that
    // block's bytes repeated: ten gigabytes cost a second to write.
    void addDeflatedZeros(const QByteArray& name, int blocks)
    {
        constexpr qint64 kBlock = 16 << 20;
        const QByteArray zeros(kBlock, '\0');
        z_stream z{};
        deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
        auto pass = [&](const QByteArray& in, int flush) {
            QByteArray out(int(deflateBound(&z, uLong(in.size()))) + 64, '\0');
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.constData()));
            z.avail_in = uInt(in.size());
            z.next_out = reinterpret_cast<Bytef*>(out.data());
            z.avail_out = uInt(out.size());
            deflate(&z, flush);
            out.resize(out.size() - int(z.avail_out));
            return out;
        };
        const QByteArray first = pass(zeros, Z_FULL_FLUSH);
        const QByteArray steady = pass(zeros, Z_FULL_FLUSH);
        const QByteArray tail = pass({}, Z_FINISH);
        deflateEnd(&z);
        const quint32 blockCrc = quint32(crc32(0, reinterpret_cast<const Bytef*>(zeros.constData()), uInt(kBlock)));
        quint32 crc = 0;
        for (int i = 0; i < blocks; ++i)
            crc = quint32(crc32_combine(crc, blockCrc, kBlock));
        const quint64 packed =
            quint64(first.size()) + quint64(steady.size()) * quint64(blocks - 1) + quint64(tail.size());
        header(name, crc, packed, quint64(kBlock) * quint64(blocks), 8);
        put(first);
        for (int i = 1; i < blocks; ++i)
            put(steady);
        put(tail);
    }

    bool finish()
    {
        const qint64 cdStart = m_pos;
        put(m_central);
        QByteArray end;
        le32(end, 0x06054b50);
        le16(end, 0);
        le16(end, 0);
        le16(end, quint16(m_count));
        le16(end, quint16(m_count));
        le32(end, quint32(m_central.size()));
        le32(end, quint32(cdStart));
        le16(end, 0);
        put(end);
        m_file.close();
        return m_ok && m_count < 0xffff && cdStart < 0xffffffffLL;
    }

private:
    static void le16(QByteArray& b, quint16 v) { b.append(char(v & 0xff)).append(char(v >> 8)); }
    static void le32(QByteArray& b, quint32 v)
    {
        le16(b, quint16(v & 0xffff));
        le16(b, quint16(v >> 16));
    }
    void put(const QByteArray& b)
    {
        m_ok = m_ok && m_file.write(b) == b.size();
        m_pos += b.size();
    }
    static void le64(QByteArray& b, quint64 v)
    {
        le32(b, quint32(v & 0xffffffffu));
        le32(b, quint32(v >> 32));
    }
    void header(const QByteArray& name, quint32 crc, quint64 packed, quint64 size, quint16 method)
    {
        const bool zip64 = size >= 0xffffffffu || packed >= 0xffffffffu;
        QByteArray extra;
        if (zip64) {
            le16(extra, 0x0001);
            le16(extra, 16);
            le64(extra, size);
            le64(extra, packed);
        }
        QByteArray h;
        le32(h, 0x04034b50);
        le16(h, zip64 ? 45 : 20);
        le16(h, 0);
        le16(h, method);
        le32(h, 0x58210000); // 2024-01-01 00:00
        le32(h, crc);
        le32(h, zip64 ? 0xffffffffu : quint32(packed));
        le32(h, zip64 ? 0xffffffffu : quint32(size));
        le16(h, quint16(name.size()));
        le16(h, quint16(extra.size()));
        h.append(name);
        h.append(extra);
        QByteArray c;
        le32(c, 0x02014b50);
        le16(c, 0x031e);
        c.append(h.mid(4, 24));
        le16(c, quint16(extra.size()));
        le16(c, 0);
        le16(c, 0);
        le16(c, 0);
        le32(c, 0x81a40000u);
        le32(c, quint32(m_pos));
        c.append(name);
        c.append(extra);
        m_central.append(c);
        ++m_count;
        put(h);
    }
    static void forChunks(qint64 size, quint32 seed, const std::function<void(const QByteArray&)>& f)
    {
        QRandomGenerator gen(seed);
        QByteArray chunk;
        for (qint64 left = size; left > 0;) {
            const qint64 n = std::min<qint64>(left, 4 << 20);
            chunk.resize(n);
            gen.fillRange(reinterpret_cast<quint32*>(chunk.data()), n / 4);
            for (qint64 i = n / 4 * 4; i < n; ++i)
                chunk[i] = char(gen.generate());
            f(chunk);
            left -= n;
        }
    }

    QFile m_file;
    bool m_ok = false;
    qint64 m_pos = 0;
    QByteArray m_central;
    int m_count = 0;
};

} // namespace e2e
