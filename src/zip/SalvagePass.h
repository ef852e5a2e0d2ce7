#pragma once
// The salvage of an unattended run (--salvage): each archive the run quarantines as damaged gets a
// salvaged copy beside it (NAME.zip.bad -> NAME.salvaged.zip), and after the run so does every older
// NAME.zip.bad of the folder that has none yet. A dry run says what would come back and writes nothing.
// Each salvage is one console line (stdout in a dry run, with the run's other would-be actions; stderr
// otherwise) and, in the report, a salvage object.

#include "zip/Salvage.h"

#include <QSet>
#include <QString>
#include <QStringList>

class RunReport;

class SalvagePass
{
public:
    explicit SalvagePass(RunReport& report) : m_report(report) {}

    // The run quarantined the archive at path (in a dry run it stays where it is): salvages what it holds
    // and returns the line to print (empty when nothing was quarantined).
    QString afterQuarantine(const QString& path);
    // Every NAME.zip.bad of the folder with no salvaged copy and not salvaged in this run; a line each.
    QStringList earlierQuarantines(const QString& folder);

    // How salvage follows the run: its event pump, and whether the run was aborted. Once aborted, the salvage
    // in work stops (nothing written) and no other starts.
    void setControl(zipsalvage::Control control) { m_control = std::move(control); }
    bool aborted() const { return m_aborted; }

    // The console line of one salvage; path is the damaged file, as shown to the user.
    static QString lineFor(const QString& path, const zipsalvage::Report& r, bool dryRun);

private:
    RunReport& m_report;
    QSet<QString> m_done;
    zipsalvage::Control m_control;
    bool m_aborted = false;
};
