// The entry viewer: a description or text entry shown in Form2 or in the text editor.

#include "app/ArchiveWork.h"
#include "app/Form1.h"
#include "browse/Form2.h"
#include "platform/ListBox.h"
#include "platform/Panel3D.h"
#include "platform/ShownName.h"
#include "zip/DiskName.h"
#include "zip/FileOps.h"
#include "zip/ZipComponent.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// Texts above this size are shown up to it: the text box stays responsive and the memory bounded.
constexpr qint64 kShownBytes = 8 * 1024 * 1024;
// The text box lays out one line as a whole: a line of megabytes takes seconds, so longer lines are shown
// broken into pieces of this many characters.
constexpr qsizetype kLongestLine = 4096;
// The search for the first line end lets window events run after this many bytes.
constexpr qint64 kPumpEveryBytes = 4096;

bool isViewable(const QString& lowerName)
{
    return lowerName.endsWith(QLatin1String(".nfo")) || lowerName.endsWith(QLatin1String(".diz")) ||
           lowerName.endsWith(QLatin1String(".txt")) || lowerName.endsWith(QLatin1String(".me"));
}

enum class LineEnd
{
    CarriageReturn, // CR LF or CR alone: the text editor
    LineFeed,       // a bare LF first, or no line end at all: Form2
    Unreadable
};

LineEnd firstLineEnd(Form1& f, const QString& path)
{
    QFile file;
    if (!diskname::openFile(file, path, QIODevice::ReadOnly))
        return LineEnd::Unreadable;
    char buffer[kPumpEveryBytes];
    qint64 n;
    while ((n = file.read(buffer, sizeof buffer)) > 0) {
        for (qint64 i = 0; i < n; ++i) {
            if (buffer[i] == '\r')
                return LineEnd::CarriageReturn;
            if (buffer[i] == '\n')
                return LineEnd::LineFeed;
        }
        f.pumpEvents();
    }
    return n < 0 ? LineEnd::Unreadable : LineEnd::LineFeed;
}

QString breakLongLines(const QString& text)
{
    qsizetype run = 0;
    bool needed = false;
    for (const QChar c : text) {
        run = c == u'\n' ? 0 : run + 1;
        if (run > kLongestLine) {
            needed = true;
            break;
        }
    }
    if (!needed)
        return text;
    QString out;
    out.reserve(text.size() + text.size() / kLongestLine + 1);
    run = 0;
    for (const QChar c : text) {
        if (c == u'\n') {
            run = 0;
        } else if (run == kLongestLine) {
            out.append(u'\n');
            run = 0;
        }
        if (c != u'\n')
            ++run;
        out.append(c);
    }
    return out;
}

void reportOnPanel(Form1& f, const QString& text)
{
    f.SSPanel2->setFloodType(0);
    f.SSPanel2->setCaption(text);
}

void showInForm2(Form1& f, const QString& path)
{
    Form2* window = f.ensureForm2();
    window->setWindowTitle(shownName(f.ViewedEntry));
    window->show();
    window->raise();
    window->activateWindow();
    window->setCursor(Qt::WaitCursor);

    QFile file;
    QByteArray bytes;
    qint64 size = 0;
    if (diskname::openFile(file, path, QIODevice::ReadOnly)) {
        size = file.size();
        bytes = file.read(kShownBytes);
    }
    const bool cut = size > bytes.size();
    QString text = breakLongLines(Form2::convertText(bytes, cut));
    if (cut)
        text += QStringLiteral("\n--> Only the first %1 MB of%2 bytes are shown; the whole text is %3 <--")
                    .arg(kShownBytes / (1024 * 1024))
                    .arg(Form1::countText(size), shownName(QDir::toNativeSeparators(path)));
    window->Text1->setPlainText(text);
    window->unsetCursor();
}

} // namespace

void Form1::List1_DblClick()
{
    const QString temp = dataPath(QStringLiteral("temp"));
    if (!diskname::isFolder(temp) && !diskname::makeFolder(temp))
        QDir().mkpath(temp); // its parents are missing too; a data folder's path is one Qt can name

    int index = -1;
    for (int i = 0; i < List1->ListCount(); ++i) {
        if (List1->Selected(i)) {
            index = i;
            break;
        }
    }
    if (index < 0)
        return;
    const QString name = diskname::lowered(List1->Line(index));
    if (!isViewable(name))
        return;

    // The events pumped during the extraction and the read may bring another double-click, a click on
    // another archive or a key; none of them may change the archive or the file this view works on.
    const ArchiveWork work(*this, QStringLiteral("viewing ") + shownName(name), QStringLiteral("the view"));
    if (work.refused())
        return;
    const QString archive = currentArchive;
    const QString archiveOnDisk = currentArchiveOnDisk;
    setMousePointer(11);
    ViewedEntry = name;
    const QString fileName = ZipComponent::extractedName(ViewedEntry);
    const QString path = temp + QLatin1Char('/') + fileName;
    // A copy left by an earlier view must not pass for this one when the extraction writes nothing.
    if (!fileName.isEmpty() && fileops::isOrdinaryFile(path))
        fileops::removeFile(path);

    XceedZip1->AlternateMode = false;
    XceedZip1->EntryMask = ViewedEntry;
    XceedZip1->ExtractFolder = temp;
    XceedZip1->ArchivePath = archiveOnDisk;
    const qint16 result = XceedZip1->ExtractEntries(0);
    if (unloaded())
        return;

    if (ZipComponent::isDamage(result)) {
        if (Form2* window = form2())
            window->Text1->clear();
        setMousePointer(0);
        SSPanel2->setFloodPercent(0);
        SSPanel1->setCaption(shownName(ViewedEntry));
        currentArchive = archive;
        currentArchiveOnDisk = archiveOnDisk;
        // Reports "CRC error in - " with the archive, renames it to .bad and refreshes File1.
        Quarantine(QuarantineCaller::EntryViewer);
        setMousePointer(0);
        return;
    }

    setMousePointer(0);
    SSPanel2->setFloodPercent(0);
    if (result != ZipSuccess || fileName.isEmpty() || !fileops::isOrdinaryFile(path)) {
        reportOnPanel(
            *this, result != ZipSuccess
                       ? QStringLiteral("Could not extract %1 (error%2)").arg(shownName(ViewedEntry), countText(result))
                       : QStringLiteral("Could not extract %1: not in the archive").arg(shownName(ViewedEntry)));
        return;
    }

    switch (firstLineEnd(*this, path)) {
    case LineEnd::CarriageReturn:
        launch(QStringLiteral("notepad.exe"), path);
        break;
    case LineEnd::LineFeed:
        showInForm2(*this, path);
        break;
    case LineEnd::Unreadable:
        reportOnPanel(*this, QStringLiteral("Could not read %1").arg(shownName(QDir::toNativeSeparators(path))));
        break;
    }
}
