#pragma once
// What a CleanRun holds while it runs: created when the run starts, destroyed when it ends; nothing outside
// the run sees them.

#include "zip/CleanRun.h"
#include "zip/ReadAhead.h"
#include "zip/SalvagePass.h"
#include "zip/VerdictCache.h"
#include "zip/ZipComponent.h"

#include <QElapsedTimer>
#include <memory>
#include <optional>

struct CleanRun::Impl
{
    std::unique_ptr<ZipComponent> ownComponent; // when the front-end lends none
    ZipComponent* zip = nullptr;                // the component the run uses
    ArchiveCleaner::RowFinder purgeRow;         // the purge list the run loaded
    std::unique_ptr<VerdictCache> cache;
    std::shared_ptr<const FolderVerdicts> folderVerdicts;
    std::unique_ptr<ReadAhead> readAhead;
    std::optional<SalvagePass> salvage;
    QElapsedTimer sinceBreath; // since the run last let the front-end answer
    int judgingAnew = 0;       // how deep the archive in work is in being judged anew
    // What the cache is told at the end of the archive in work: the file its listing tested, or the file its
    // rewrite produced.
    ToldOutcome told;
};
