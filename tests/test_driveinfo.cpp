// The drive class of a path: the numbers the run and the quarantine test against.

#include "testsupport/ReadOnlyMount.h"
#include "zip/DriveInfo.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestDriveInfo : public QObject
{
    Q_OBJECT
private slots:
    void classesAPath_data();
    void classesAPath();
    void readOnlyMountIsNotWritable();
};

void TestDriveInfo::classesAPath_data()
{
    QTest::addColumn<QString>("relative");
    QTest::addColumn<bool>("writable");
    QTest::addColumn<int>("expected"); // -1: any class above 2
    QTest::newRow("writable folder") << "" << true << -1;
    QTest::newRow("file in a writable folder") << "a.zip" << true << -1;
    QTest::newRow("path that does not exist") << "no/such/folder" << false << int(DriveInfo::NoRoot);
}

void TestDriveInfo::classesAPath()
{
    QFETCH(QString, relative);
    QFETCH(bool, writable);
    QFETCH(int, expected);
    QTemporaryDir dir;
    QFile(dir.filePath("a.zip")).open(QIODevice::WriteOnly);
    DriveInfo info;
    info.Drive = relative.isEmpty() ? dir.path() : dir.filePath(relative);
    const int got = info.DriveClass();
    if (expected >= 0)
        QCOMPARE(got, expected);
    QCOMPARE(got > 2, writable);
    DriveInfo empty;
    QCOMPARE(empty.DriveClass(), int(DriveInfo::Unknown));
}

void TestDriveInfo::readOnlyMountIsNotWritable()
{
    QTemporaryDir dir;
    ReadOnlyMount mount(dir.filePath("ro"));
    if (!mount.available())
        QSKIP("needs the right to mount a small file system");
    QFile(mount.path() + "/a.zip").open(QIODevice::WriteOnly);
    DriveInfo info;
    info.Drive = mount.path() + "/a.zip";
    QCOMPARE(info.DriveClass(), int(DriveInfo::RamDisk)); // writable tmpfs first
    QVERIFY(mount.makeReadOnly());
    QCOMPARE(info.DriveClass(), int(DriveInfo::NotWritable));
    info.Drive = mount.path();
    QCOMPARE(info.DriveClass(), int(DriveInfo::NotWritable));
}

QTEST_GUILESS_MAIN(TestDriveInfo)
#include "test_driveinfo.moc"
