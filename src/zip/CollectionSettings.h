#pragma once
// How an unattended run treats a collection: whether it remembers what it tested (the verdict cache), how
// long a full test stands, and how many workers read archives ahead. Set from the command line, handed to
// the run in one piece; the window's runs keep the defaults.

#include <QString>

struct CollectionSettings
{
    enum class Cache
    {
        Off,         // every archive is read and tested; no cache file is opened
        Incremental, // unchanged archives tested recently enough are listed from their directory only
        Full         // every archive is read and tested, and the cache is refreshed from what was found
    };
    static constexpr int kDefaultRetestAfterDays = 30;
    static constexpr int kMaxRetestAfterDays = 3650;
    static constexpr int kMaxJobs = 256;

    Cache cache = Cache::Off;
    int retestAfterDays = kDefaultRetestAfterDays;
    int jobs = 0;      // read-ahead workers; 0: one per core
    QString cacheFile; // the SQLite file of the verdict cache
};
