#pragma once
// A folder on its own small file system that a test can turn read-only, so that "cannot write" is real even
// for root, who ignores permission bits. Needs the right to mount (root in the test machine); otherwise
// available() is false and the test skips.

#include <QDir>
#include <QProcess>
#include <QString>
#include <unistd.h>

class ReadOnlyMount
{
public:
    explicit ReadOnlyMount(const QString& folder, const QString& size = QStringLiteral("16m")) : m_folder(folder)
    {
        QDir().mkpath(folder);
        m_mounted = geteuid() == 0 && run({"-t", "tmpfs", "-o", "size=" + size, "tmpfs", folder});
    }
    ~ReadOnlyMount()
    {
        if (m_mounted)
            QProcess::execute("umount", {"-l", m_folder});
    }
    bool available() const { return m_mounted; }
    bool makeReadOnly() { return m_mounted && run({"-o", "remount,ro", m_folder}); }
    bool makeWritable() { return m_mounted && run({"-o", "remount,rw", m_folder}); }
    QString path() const { return m_folder; }

private:
    static bool run(const QStringList& args) { return QProcess::execute("mount", args) == 0; }
    QString m_folder;
    bool m_mounted = false;
};
