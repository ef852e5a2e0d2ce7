#include "app/CollectionOptions.h"

namespace {

// A number option's value, as "--name N" or "--name=N"; false when args[i] is not that option.
bool numberOption(const QStringList& args, int& i, const QString& name, int low, int high, int* value, QString* error)
{
    QString text;
    if (args[i] == name && i + 1 < args.size())
        text = args[++i];
    else if (args[i].startsWith(name + QLatin1Char('=')))
        text = args[i].mid(name.size() + 1);
    else
        return false;
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < low || v > high)
        *error =
            QStringLiteral("%1 takes a whole number from %2 to %3, not \"%4\"").arg(name).arg(low).arg(high).arg(text);
    else
        *value = v;
    return true;
}

} // namespace

bool takeCollectionOption(const QStringList& args, int& i, CollectionSettings& settings, QString* error)
{
    if (args[i] == QLatin1String("--incremental")) {
        // --full wins, in either order: it is the stricter of the two.
        if (settings.cache == CollectionSettings::Cache::Off)
            settings.cache = CollectionSettings::Cache::Incremental;
        return true;
    }
    if (args[i] == QLatin1String("--full")) {
        settings.cache = CollectionSettings::Cache::Full;
        return true;
    }
    return numberOption(args, i, QStringLiteral("--retest-after"), 1, CollectionSettings::kMaxRetestAfterDays,
                        &settings.retestAfterDays, error) ||
           numberOption(args, i, QStringLiteral("--jobs"), 1, CollectionSettings::kMaxJobs, &settings.jobs, error);
}
