#include "platform/DriveListBox.h"

#include "zip/DiskName.h"

#include <QStorageInfo>

DriveListBox::DriveListBox(QWidget* parent) : QComboBox(parent)
{
    Refresh();
    connect(this, &QComboBox::currentIndexChanged, this, [this] {
        if (!m_filling)
            emit Change();
    });
}

void DriveListBox::Refresh()
{
    const QString current = Drive();
    m_filling = true;
    clear();
    QStringList roots{QStringLiteral("/")};
    for (const QStorageInfo& v : QStorageInfo::mountedVolumes()) {
        if (v.isValid() && v.isReady() && !roots.contains(v.rootPath()))
            roots.append(v.rootPath());
    }
    for (const QString& r : roots)
        addItem(r, r);
    const int at = findData(current);
    setCurrentIndex(at >= 0 ? at : 0);
    m_filling = false;
}

QString DriveListBox::Drive() const
{
    return currentData().toString();
}

void DriveListBox::setDrive(const QString& root)
{
    int at = findData(root);
    if (at < 0) {
        m_filling = true;
        addItem(root, root);
        m_filling = false;
        at = count() - 1;
    }
    setCurrentIndex(at); // raises Change when it differs
}

void DriveListBox::setDriveFor(const QString& path)
{
    // Qt finds the volume by a name it can pass on; a folder whose name is not UTF-8 lies on the volume of the
    // nearest folder above it that has one (a mount point with such a name is not looked for).
    const QStorageInfo v(diskname::utf8Ancestor(path));
    if (v.isValid())
        setDrive(v.rootPath());
}
