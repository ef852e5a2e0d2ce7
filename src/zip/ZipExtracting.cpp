// ZipComponent, extracting: entries written into ExtractFolder under safe names, each complete or not at all.

#include "zip/ZipJob.h"

#include <QDir>

using namespace zipformat;
using namespace zipjob;

int ZipJob::extract()
{
    if (const int rc = open())
        return rc;
    if (const int rc = checkHeaders())
        return rc;
    const QFileInfo folderInfo(m_folder);
    if (m_folder.isEmpty())
        return ZipCannotWrite;
    if (!folderInfo.exists() && !QDir().mkdir(m_folder))
        return ZipCannotWrite;
    if (!QFileInfo(m_folder).isDir())
        return ZipCannotWrite;
    const QString folder = QFileInfo(m_folder).absoluteFilePath();

    std::vector<std::pair<const Entry*, QString>> work;
    for (const Entry& e : m_archive.entries) {
        if (!matches(e))
            continue;
        QString name = ZipComponent::extractedName(e.name);
        if (name.isEmpty())
            continue;
        if (e.size > quint64(ZipComponent::kMaxExtractSize))
            return ZipOtherError;
        work.emplace_back(&e, name);
        m_total += qint64(e.compressedSize);
    }
    for (const auto& [entry, name] : work) {
        TempFile temp(folder, name);
        if (!temp.isOpen())
            return ZipCannotWrite;
        const Sink sink = [&temp](const char* data, qint64 len) { return temp.write(data, len); };
        bool untestable = false;
        if (const int rc = decode(*entry, &sink, &untestable))
            return rc;
        if (untestable)
            return ZipOtherError; // encrypted, or a method we cannot decode
        if (!temp.commit(folder + u'/' + name, {}))
            return ZipCannotWrite;
    }
    finish();
    return ZipSuccess;
}
