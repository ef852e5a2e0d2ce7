// The purge list file: reading it into the table, matching entry names, the duplicate check and the
// two-phase append through purge.bak, each on real files in a temporary program folder.

#include "purge/PurgeList.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList loadedRows(const PurgeList& list)
{
    QStringList rows;
    for (int j = 1; j <= list.loadedLineCount(); ++j)
        rows << list.row(j);
    return rows;
}

} // namespace

class TestPurgeList : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString folder() const { return m_dir.path(); }
    QString listPath() const { return folder() + "/purge.txt"; }
    QString bakPath() const { return folder() + "/purge.bak"; }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        QDir(folder()).removeRecursively();
        QVERIFY(QDir().mkpath(folder()));
    }

    void loadReadsEveryLineAndStopsUseAtFirstEmptyOne_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("usable");
        QTest::newRow("empty file") << QByteArray() << QStringList() << 0;
        QTest::newRow("last line with CR LF") << QByteArray("a.txt\r\nb.txt\r\n") << QStringList{"a.txt", "b.txt"} << 2;
        QTest::newRow("last line without line end")
            << QByteArray("a.txt\r\nb.txt") << QStringList{"a.txt", "b.txt"} << 2;
        QTest::newRow("empty line ends the list")
            << QByteArray("a.txt\r\n\r\nb.txt\r\n") << QStringList{"a.txt", "", "b.txt"} << 1;
        QTest::newRow("first line empty") << QByteArray("\r\na.txt\r\n") << QStringList{"", "a.txt"} << 0;
        QTest::newRow("bare LF") << QByteArray("a.txt\nb.txt\n") << QStringList{"a.txt", "b.txt"} << 2;
        QTest::newRow("lone CR") << QByteArray("a.txt\rb.txt") << QStringList{"a.txt", "b.txt"} << 2;
        QTest::newRow("CR CR LF is a line and an empty line")
            << QByteArray("a\r\r\nb") << QStringList{"a", "", "b"} << 1;
        QTest::newRow("LF CR is two line ends") << QByteArray("a\n\rb") << QStringList{"a", "", "b"} << 1;
        QTest::newRow("blanks and case kept")
            << QByteArray(" ReadMe.TXT \r\n\tx\r\n") << QStringList{" ReadMe.TXT ", "\tx"} << 2;
        QTest::newRow("two equal lines are two rows") << QByteArray("x\r\nx\r\n") << QStringList{"x", "x"} << 2;
        QTest::newRow("UTF-8") << QByteArray("s\xC3\xBC\xC3\x9F.txt\r\n") << QStringList{u"s\u00fc\u00df.txt"_qs} << 1;
        QTest::newRow("byte-order mark skipped") << QByteArray("\xEF\xBB\xBF"
                                                               "a.txt\r\n")
                                                 << QStringList{"a.txt"} << 1;
    }
    void loadReadsEveryLineAndStopsUseAtFirstEmptyOne()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, lines);
        QFETCH(int, usable);
        QVERIFY(writeBytes(listPath(), bytes));
        PurgeList list(folder());
        QVERIFY(list.load());
        QCOMPARE(loadedRows(list), lines);
        QCOMPARE(list.rowCount(), usable);
        QCOMPARE(list.row(0), QString());
        QCOMPARE(list.row(int(lines.size()) + 1), QString());
    }

    void linesBeyondTwentyThousandAreLoaded()
    {
        QByteArray bytes;
        for (int i = 1; i <= 20005; ++i)
            bytes += "n" + QByteArray::number(i) + "\r\n";
        QVERIFY(writeBytes(listPath(), bytes));
        PurgeList list(folder());
        QVERIFY(list.load());
        QCOMPARE(list.rowCount(), 20005);
        QCOMPARE(list.row(20005), u"n20005"_qs);
        QCOMPARE(list.match(u"N20003"_qs), u"n20003"_qs);
    }

    void pumpRunsOncePerLine_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("calls");
        QTest::newRow("empty file") << QByteArray() << 0;
        QTest::newRow("two lines, no final end") << QByteArray("a\r\nb") << 2;
        QTest::newRow("lines after an empty line count too") << QByteArray("a\r\n\r\nb\r\n") << 3;
        QTest::newRow("mixed line ends") << QByteArray("a\nb\rc\r\n") << 3;
    }
    void pumpRunsOncePerLine()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, calls);
        QVERIFY(writeBytes(listPath(), bytes));
        PurgeList list(folder());
        int pumped = 0;
        QVERIFY(list.load([&] { ++pumped; }));
        QCOMPARE(pumped, calls);
    }

    void loadOfMissingOrUnreadableListEmptiesTable_data()
    {
        QTest::addColumn<bool>("asFolder");
        QTest::newRow("missing") << false;
        QTest::newRow("folder named purge.txt") << true;
    }
    void loadOfMissingOrUnreadableListEmptiesTable()
    {
        QFETCH(bool, asFolder);
        QVERIFY(writeBytes(listPath(), "a.txt\r\nb.txt\r\n"));
        PurgeList list(folder());
        QVERIFY(list.load());
        QCOMPARE(list.rowCount(), 2);
        QVERIFY(QFile::remove(listPath()));
        if (asFolder)
            QVERIFY(QDir().mkpath(listPath()));
        QVERIFY(!list.load());
        QCOMPARE(list.rowCount(), 0);
        QCOMPARE(list.loadedLineCount(), 0);
        QVERIFY(list.match(u"a.txt"_qs).isNull());
    }

    void existsOnlyForAnOrdinaryFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("expected");
        QTest::newRow("file") << "file" << true;
        QTest::newRow("empty file") << "empty" << true;
        QTest::newRow("missing") << "missing" << false;
        QTest::newRow("folder") << "folder" << false;
        QTest::newRow("link to a folder") << "linkToFolder" << false;
        QTest::newRow("link to a file") << "linkToFile" << true;
        QTest::newRow("dangling link") << "dangling" << false;
    }
    void existsOnlyForAnOrdinaryFile()
    {
        QFETCH(QString, kind);
        QFETCH(bool, expected);
        if (kind == "file")
            QVERIFY(writeBytes(listPath(), "a\r\n"));
        else if (kind == "empty")
            QVERIFY(writeBytes(listPath(), {}));
        else if (kind == "folder")
            QVERIFY(QDir().mkpath(listPath()));
        else if (kind == "linkToFolder")
            QVERIFY(QDir().mkpath(folder() + "/sub") && QFile::link(folder() + "/sub", listPath()));
        else if (kind == "linkToFile")
            QVERIFY(writeBytes(folder() + "/real.txt", "a\r\n") && QFile::link(folder() + "/real.txt", listPath()));
        else if (kind == "dangling")
            QVERIFY(QFile::link(folder() + "/nothing.txt", listPath()));
        QCOMPARE(PurgeList(folder()).exists(), expected);
    }

    void matchComparesLowerCaseWholeLines_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("expected"); // null: no match
        QTest::newRow("upper-case line matches lower-case entry") << QByteArray("README.TXT\r\n") << "readme.txt"
                                                                  << "README.TXT";
        QTest::newRow("leading blank matches nothing") << QByteArray(" readme.txt\r\n") << "readme.txt" << QString();
        QTest::newRow("trailing blank matches nothing") << QByteArray("readme.txt \r\n") << "readme.txt" << QString();
        QTest::newRow("first of two case variants wins") << QByteArray("Thumbs.db\r\nTHUMBS.DB\r\n") << "thumbs.db"
                                                         << "Thumbs.db";
        QTest::newRow("line after an empty line is not used")
            << QByteArray("a.txt\r\n\r\nb.txt\r\n") << "b.txt" << QString();
        QTest::newRow("first line empty purges nothing") << QByteArray("\r\na.txt\r\n") << "a.txt" << QString();
        QTest::newRow("no wildcards") << QByteArray("*.txt\r\n") << "a.txt" << QString();
        QTest::newRow("wildcard text matches itself") << QByteArray("*.txt\r\n") << "*.TXT"
                                                      << "*.txt";
        QTest::newRow("folder part counts") << QByteArray("docs/a.txt\r\n") << "a.txt" << QString();
        QTest::newRow("non-ASCII case folding")
            << QByteArray("\xC3\x84RGER.TXT\r\n") << u"\u00e4rger.txt"_qs << u"\u00c4RGER.TXT"_qs;
        QTest::newRow("bare LF file matches its lines") << QByteArray("a.txt\nb.txt\n") << "b.txt"
                                                        << "b.txt";
    }
    void matchComparesLowerCaseWholeLines()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, entry);
        QFETCH(QString, expected);
        QVERIFY(writeBytes(listPath(), bytes));
        PurgeList list(folder());
        QVERIFY(list.load());
        const QString got = list.match(entry);
        QCOMPARE(got.isNull(), expected.isNull());
        QCOMPARE(got, expected);
        QCOMPARE(list.matchByWalk(entry), got);
    }

    void matchRowGoesOnAfterEarlierRow()
    {
        // The purge pass compares a line that moved up only with the rows after the one that matched.
        QVERIFY(writeBytes(listPath(), "x.txt\r\nREADME.TXT\r\ny.txt\r\nReadMe.txt\r\nreadme.txt\r\n"));
        PurgeList list(folder());
        QVERIFY(list.load());
        const QString entry = u"readme.txt"_qs;
        const QList<QPair<int, int>> fromAndRow = {{0, 2}, {1, 2}, {2, 2}, {3, 4}, {4, 4}, {5, 5}, {6, 0}, {99, 0}};
        for (const auto& [from, row] : fromAndRow) {
            QCOMPARE(list.matchRow(entry, from), row);
            QCOMPARE(list.matchRowByWalk(entry, from), row);
        }
        QCOMPARE(list.matchRow(u"x.txt"_qs, 2), 0);
    }

    void lookupAgreesWithWalkOnLargeList_data()
    {
        QTest::addColumn<int>("emptyLineAt"); // 0: none
        QTest::newRow("50,000 usable lines") << 0;
        QTest::newRow("empty line at 30,000") << 30000;
    }
    void lookupAgreesWithWalkOnLargeList()
    {
        QFETCH(int, emptyLineAt);
        QRandomGenerator rng(20240605u + quint32(emptyLineAt));
        // Few distinct names, so that many lines repeat a name exactly or in another letter case.
        auto randomCase = [&](QString s) {
            for (QChar& c : s)
                if (rng.bounded(3) == 0)
                    c = c.toUpper();
            return s;
        };
        QStringList lines;
        for (int i = 0; i < 50000; ++i)
            lines << randomCase(u"entry%1.txt"_qs.arg(rng.bounded(12000)));
        if (emptyLineAt > 0)
            lines[emptyLineAt - 1].clear();
        QVERIFY(writeBytes(listPath(), lines.join(u"\r\n"_qs).toUtf8()));

        PurgeList list(folder());
        QVERIFY(list.load());
        QCOMPARE(list.loadedLineCount(), 50000);
        QCOMPARE(list.rowCount(), emptyLineAt > 0 ? emptyLineAt - 1 : 50000);

        int matched = 0;
        const int queries = 200;
        for (int q = 0; q < queries; ++q) {
            const QString entry = randomCase(u"entry%1.txt"_qs.arg(rng.bounded(13000)));
            const QString viaLookup = list.match(entry);
            const QString viaWalk = list.matchByWalk(entry);
            QCOMPARE(viaLookup, viaWalk);
            QCOMPARE(viaLookup.isNull(), viaWalk.isNull());
            matched += viaLookup.isNull() ? 0 : 1;
            const int from = int(rng.bounded(50001));
            QCOMPARE(list.matchRow(entry, from), list.matchRowByWalk(entry, from));
        }
        // Both kinds of answer must have been exercised for the comparison to mean anything.
        QVERIFY(matched > queries / 2);
        QVERIFY(matched < queries);
    }

    void duplicateCheckIsExactAndReadsFileAfresh()
    {
        QVERIFY(writeBytes(listPath(), "README.TXT\r\n readme.txt\r\na.txt\r\n\r\nlate.txt"));
        PurgeList list(folder());
        QVERIFY(list.load());
        QVERIFY(!list.match(u"readme.txt"_qs).isNull());
        QVERIFY(!list.isListed(u"readme.txt"_qs));
        QVERIFY(list.isListed(u"README.TXT"_qs));
        QVERIFY(list.isListed(u" readme.txt"_qs));
        QVERIFY(list.isListed(u"late.txt"_qs)); // any line of the file, not only usable rows
        QVERIFY(!list.isListed(u"a.tx"_qs));

        QVERIFY(writeBytes(listPath(), "readme.txt\n"));
        QVERIFY(list.isListed(u"readme.txt"_qs));
        QVERIFY(!list.isListed(u"a.txt"_qs));
        QVERIFY(QFile::remove(listPath()));
        QVERIFY(!list.isListed(u"readme.txt"_qs));
    }

    void appendAddsStagedNamesInOrder_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("nothing staged") << QByteArray("a\r\n") << QStringList() << QByteArray("a\r\n");
        QTest::newRow("nothing staged, no final line end") << QByteArray("a") << QStringList() << QByteArray("a");
        QTest::newRow("names in order, equal ones twice")
            << QByteArray("a\r\n") << QStringList{"x", "y", "x"} << QByteArray("a\r\nx\r\ny\r\nx\r\n");
        QTest::newRow("last line without line end") << QByteArray("a") << QStringList{"x"} << QByteArray("a\r\nx\r\n");
        QTest::newRow("ends with lone CR") << QByteArray("a\r") << QStringList{"x"} << QByteArray("a\rx\r\n");
        QTest::newRow("ends with LF") << QByteArray("a\n") << QStringList{"x"} << QByteArray("a\nx\r\n");
        QTest::newRow("empty file") << QByteArray() << QStringList{"x"} << QByteArray("x\r\n");
        QTest::newRow("blanks, case and UTF-8 kept")
            << QByteArray("a\r\n") << QStringList{u" S\u00fc\u00df.TXT "_qs, "Bad zip found"}
            << QByteArray("a\r\n S\xC3\xBC\xC3\x9F.TXT \r\nBad zip found\r\n");
    }
    void appendAddsStagedNamesInOrder()
    {
        QFETCH(QByteArray, before);
        QFETCH(QStringList, names);
        QFETCH(QByteArray, after);
        QVERIFY(writeBytes(listPath(), before));
        PurgeList list(folder());
        PurgeAppend append(list);
        QVERIFY2(append.open(), qPrintable(append.errorString()));
        QVERIFY(QFile::exists(bakPath()));
        for (const QString& name : names) {
            QVERIFY(!list.isListed(name)); // staged names are not in purge.txt before the merge
            QVERIFY2(append.stage(name), qPrintable(append.errorString()));
        }
        QCOMPARE(readBytes(listPath()), before);
        QVERIFY2(append.merge(), qPrintable(append.errorString()));
        QCOMPARE(readBytes(listPath()), after);
        QVERIFY(!QFile::exists(bakPath()));
        QVERIFY(list.load());
        for (const QString& name : names)
            QVERIFY(list.isListed(name));
    }

    void stageRefusesNamesThatWouldNotReadBackAsOneLine_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("empty name would end the usable list") << QString();
        QTest::newRow("LF inside") << u"a.txt\nthumbs.db"_qs;
        QTest::newRow("CR inside") << u"a.txt\rthumbs.db"_qs;
    }
    void stageRefusesNamesThatWouldNotReadBackAsOneLine()
    {
        QFETCH(QString, name);
        QVERIFY(writeBytes(listPath(), "a\r\n"));
        PurgeList list(folder());
        PurgeAppend append(list);
        QVERIFY(append.open());
        QVERIFY(append.stage(u"ok.txt"_qs));
        QVERIFY(!append.stage(name));
        QVERIFY(append.errorString().contains(u"purge.bak"_qs));
        QVERIFY(append.merge());
        QCOMPARE(readBytes(listPath()), QByteArray("a\r\nok.txt\r\n"));
    }

    void mergeNeverCreatesPurgeList_data()
    {
        QTest::addColumn<bool>("asFolder");
        QTest::newRow("missing") << false;
        QTest::newRow("folder named purge.txt") << true;
    }
    void mergeNeverCreatesPurgeList()
    {
        QFETCH(bool, asFolder);
        if (asFolder)
            QVERIFY(QDir().mkpath(listPath()));
        PurgeList list(folder());
        PurgeAppend append(list);
        QVERIFY(append.open());
        QVERIFY(append.stage(u"x"_qs));
        QVERIFY(!append.merge());
        QVERIFY(append.errorString().contains(u"purge.txt"_qs));
        QCOMPARE(QFileInfo(listPath()).exists(), asFolder);
        QCOMPARE(QFileInfo(listPath()).isDir(), asFolder);
        QVERIFY(!QFile::exists(bakPath()));
    }

    void openFailsWhenStagingFileCannotBeCreated()
    {
        QVERIFY(writeBytes(listPath(), "a\r\n"));
        QVERIFY(QDir().mkpath(bakPath()));
        PurgeList list(folder());
        PurgeAppend append(list);
        QVERIFY(!append.open());
        QVERIFY(append.errorString().contains(u"purge.bak"_qs));
        QVERIFY(!append.stage(u"x"_qs));
        QVERIFY(!append.merge());
        QCOMPARE(readBytes(listPath()), QByteArray("a\r\n"));
    }

    void readOnlyPurgeListIsLeftAlone()
    {
        const QByteArray before("a\r\nb\r\n");
        QVERIFY(writeBytes(listPath(), before));
        QVERIFY(QFile::setPermissions(listPath(), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        bool immutable = false;
        if (QFile(listPath()).open(QIODevice::Append)) {
            // Root writes through permission bits; the immutable attribute stops it where supported.
            immutable = QProcess::execute(u"chattr"_qs, {u"+i"_qs, listPath()}) == 0;
            if (!immutable)
                QSKIP("running as root and chattr +i is not available here: a read-only purge.txt cannot be made");
        }
        auto cleanup = qScopeGuard([&] {
            if (immutable)
                QProcess::execute(u"chattr"_qs, {u"-i"_qs, listPath()});
        });
        PurgeList list(folder());
        PurgeAppend append(list);
        QVERIFY(append.open());
        QVERIFY(append.stage(u"x"_qs));
        QVERIFY(!append.merge());
        QVERIFY(append.errorString().contains(u"purge.txt"_qs));
        QCOMPARE(readBytes(listPath()), before);
        QVERIFY(!QFile::exists(bakPath()));
    }

    void appendThatCannotCompleteLeavesPurgeListAsItWas()
    {
        // A file size limit lets the append write part of its lines and then fail, as a full disk does.
        const QByteArray before("a\r\nb");
        QVERIFY(writeBytes(listPath(), before));
        PurgeList list(folder());
        PurgeAppend append(list);
        QVERIFY(append.open());
        for (int i = 0; i < 100; ++i)
            QVERIFY(append.stage(u"name%1.txt"_qs.arg(i)));

        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = old;
        limited.rlim_cur = rlim_t(before.size() + 20);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
        const bool merged = append.merge();
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);

        QVERIFY(!merged);
        QVERIFY(append.errorString().contains(u"purge.txt"_qs));
        QCOMPARE(readBytes(listPath()), before);
    }
};

QTEST_GUILESS_MAIN(TestPurgeList)
#include "test_purgelist.moc"
