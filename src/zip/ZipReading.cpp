// ZipComponent, reading: opening an archive, its central directory and local headers, the listing,
// and the progress points every call passes.

#include "zip/ZipJob.h"

using namespace zipformat;
using namespace zipjob;

bool ZipJob::point()
{
    if (m_aborted)
        return false;
    const int percent = m_total > 0 ? int(std::min<qint64>(100, m_done * 100 / m_total)) : 0;
    const bool report = percent > m_lastPercent;
    if (report) {
        m_lastPercent = percent;
        emit m_c.Status(qint16(percent));
    }
    if (m_hook && (report || m_clock.elapsed() - m_lastHook >= kHookIntervalMs)) {
        m_lastHook = m_clock.elapsed();
        m_hook();
    }
    if (!m_c.Abort)
        m_armed = true;
    else if (m_armed)
        m_aborted = true;
    return !m_aborted;
}

int ZipJob::open()
{
    if (m_path.isEmpty())
        return ZipArchiveNotFound;
    const QFileInfo info(m_path);
    if (!info.exists() || info.isDir()) // exists() follows links, so a dangling link is missing too
        return ZipArchiveNotFound;
    if (!m_reader.open(m_path))
        return info.exists() ? ZipCannotRead : ZipArchiveNotFound;
    return readCentralDirectory(m_reader, m_archive);
}

int ZipJob::checkHeaders()
{
    int n = 0;
    for (Entry& e : m_archive.entries) {
        if (const int rc = checkLocalHeader(m_reader, m_archive, e))
            return rc;
        if ((++n & 1023) == 0 && !point())
            return ZipAborted;
    }
    return ZipSuccess;
}

int ZipJob::list()
{
    if (const int rc = open())
        return rc;
    std::vector<const Entry*> matched;
    for (const Entry& e : m_archive.entries) {
        if (!matches(e))
            continue;
        matched.push_back(&e);
        emit m_c.Listing(e.name);
        if ((matched.size() & 1023) == 0 && !point())
            return ZipAborted;
    }
    if (const int rc = checkHeaders())
        return rc;
    if (m_testData) {
        if (const int rc = testData(matched))
            return rc;
    }
    finish();
    return ZipSuccess;
}
