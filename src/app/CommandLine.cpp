#include "app/CommandLine.h"

#include <QRegularExpression>
#include <functional>

namespace {

struct Option
{
    const char* longName;
    char shortName; // 0: none
    bool takesValue;
    bool needsFolder; // meaningful only for a run that cleans FOLDERs
    std::function<void(RunOptions&, const QString& value)> apply;
};

// A whole number from low to high for the option `name`; out of range or not a number leaves the reason in
// o.error.
void takeNumber(RunOptions& o, const char* name, const QString& text, int low, int high, int* value)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < low || v > high)
        o.error = QStringLiteral("--%1 takes a whole number from %2 to %3, not \"%4\"")
                      .arg(QLatin1String(name))
                      .arg(low)
                      .arg(high)
                      .arg(text);
    else
        *value = v;
}

// A day: a queue of cron runs longer than that is a fault, not a wait.
constexpr int kMaxWaitSeconds = 86400;
// "K/N" with N from 1 to kMaxShards and K from 0 to N-1, digits only; anything else leaves the reason in o.error.
void takeShard(RunOptions& o, const QString& text)
{
    constexpr int kMaxShards = 1000000;
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,7})/([0-9]{1,7})$"));
    const QRegularExpressionMatch m = form.match(text);
    const int k = m.hasMatch() ? m.captured(1).toInt() : -1;
    const int n = m.hasMatch() ? m.captured(2).toInt() : 0;
    if (n < 1 || n > kMaxShards || k < 0 || k >= n)
        o.error = QStringLiteral("--shard takes K/N, N shards from 1 to %1 and K from 0 to N-1, not \"%2\"")
                      .arg(kMaxShards)
                      .arg(text);
    else {
        o.shardIndex = k;
        o.shardCount = n;
    }
}

// One row per option; an option that takes a value takes it as the next argument or after '='.
const Option kOptions[] = {
    {"help", 'h', false, false, [](RunOptions& o, const QString&) { o.help = true; }},
    {"version", 0, false, false, [](RunOptions& o, const QString&) { o.version = true; }},
    {"dry-run", 0, false, true, [](RunOptions& o, const QString&) { o.dryRun = true; }},
    {"salvage", 0, false, true, [](RunOptions& o, const QString&) { o.salvage = true; }},
    {"recursive", 'r', false, true, [](RunOptions& o, const QString&) { o.recursive = true; }},
    {"report", 0, true, true, [](RunOptions& o, const QString& v) { o.report = v.isNull() ? QLatin1String("") : v; }},
    // --full and --incremental ask for opposite things: the two together are refused after the parse.
    {"incremental", 0, false, true,
     [](RunOptions& o, const QString&) { o.collection.cache = CollectionSettings::Cache::Incremental; }},
    {"full", 0, false, true,
     [](RunOptions& o, const QString&) { o.collection.cache = CollectionSettings::Cache::Full; }},
    {"quiet", 'q', false, true, [](RunOptions& o, const QString&) { o.quiet = true; }},
    {"shard", 0, true, true, [](RunOptions& o, const QString& v) { takeShard(o, v); }},
    {"retest-after", 0, true, true,
     [](RunOptions& o, const QString& v) {
         takeNumber(o, "retest-after", v, 1, CollectionSettings::kMaxRetestAfterDays, &o.collection.retestAfterDays);
     }},
    {"wait", 0, true, true,
     [](RunOptions& o, const QString& v) { takeNumber(o, "wait", v, 0, kMaxWaitSeconds, &o.waitSeconds); }},
    {"jobs", 0, true, true,
     [](RunOptions& o, const QString& v) {
         takeNumber(o, "jobs", v, 1, CollectionSettings::kMaxJobs, &o.collection.jobs);
     }},
};

const Option* findOption(const QByteArray& arg, QByteArray* inlineValue)
{
    for (const Option& option : kOptions) {
        const QByteArray name = QByteArray("--") + option.longName;
        if (arg == name || (option.shortName && arg == QByteArray("-") + option.shortName))
            return &option;
        if (option.takesValue && arg.startsWith(name + '=')) {
            *inlineValue = arg.mid(name.size() + 1);
            return &option;
        }
    }
    return nullptr;
}

} // namespace

RunOptions parseCommandLine(const QList<QByteArray>& args)
{
    RunOptions o;
    bool optionsEnd = false;
    bool folderOptions = false;
    bool full = false, incremental = false;
    for (qsizetype i = 0; i < args.size() && o.error.isEmpty(); ++i) {
        const QByteArray& a = args[i];
        if (optionsEnd || !a.startsWith('-') || a == "-") {
            o.folders.append(a);
            continue;
        }
        if (a == "--") {
            optionsEnd = true;
            continue;
        }
        QByteArray value;
        const Option* option = findOption(a, &value);
        if (!option || (option->takesValue && value.isNull() && i + 1 >= args.size())) {
            o.error = QStringLiteral("unknown option or missing value: ") + QString::fromLocal8Bit(a);
        } else {
            if (option->takesValue && value.isNull())
                value = args[++i];
            folderOptions = folderOptions || option->needsFolder;
            full = full || qstrcmp(option->longName, "full") == 0;
            incremental = incremental || qstrcmp(option->longName, "incremental") == 0;
            option->apply(o, option->takesValue ? QString::fromLocal8Bit(value) : QString());
        }
    }
    if (!o.error.isEmpty())
        return o;
    if (full && incremental)
        o.error = QStringLiteral("--full and --incremental contradict each other: --full reads every archive, "
                                 "--incremental trusts the cache");
    else if (folderOptions && o.folders.isEmpty())
        o.error = QStringLiteral("--dry-run, --salvage, --recursive, --report, --incremental, --full, --retest-after, "
                                 "--jobs, --wait, --quiet and --shard need a FOLDER");
    else if (!o.report.isNull() && o.report.isEmpty())
        o.error = QStringLiteral("--report needs a file name");
    return o;
}

const char* usageText()
{
    return "Usage: tamsorel [OPTION]... [FOLDER]...\n"
           "Keeps folders of ZIP archives clean: tests every *.zip, repairs double file_id.diz\n"
           "descriptions, deletes the entries named in purge.txt and renames damaged archives to *.bad.\n"
           "\n"
           "Without FOLDER the window opens. With FOLDERs the program cleans each in turn, unattended,\n"
           "prints one summary line per folder (and a total line when there are several) and exits.\n"
           "A name with blanks is one FOLDER when quoted.\n"
           "\n"
           "  -r, --recursive  clean the FOLDERs and every folder below them (links to folders\n"
           "                   and hidden folders are not entered), each folder as one run\n"
           "  --dry-run        test every archive and print what a run would do (rename to *.bad,\n"
           "                   repair, each entry to purge) without changing any file; read-only\n"
           "                   folders can be tested\n"
           "  --salvage        give each damaged archive a NAME.salvaged.zip beside its NAME.zip.bad\n"
           "                   with every entry whose data tests good, copied byte for byte (also\n"
           "                   for older *.zip.bad files without one); one line on stderr each\n"
           "  --report FILE    write a JSON Lines report: one object per archive (folder, name,\n"
           "                   verdict clean/purged/repaired/damaged/skipped, code, entries_removed,\n"
           "                   bytes_before, bytes_after, ms, salvage) and a closing summary object;\n"
           "                   FILE - is standard output, and the summary lines then go to stderr\n"
           "  --incremental    remember each archive tested clean in a verdict cache and, next time,\n"
           "                   list an unchanged one from its central directory only (the purge list\n"
           "                   and the double-zip repair still apply); a rolling share of the oldest\n"
           "                   tests is redone each run, so every archive is read in full again\n"
           "                   within the re-test period\n"
           "  --full           read and test every archive, trusting no cached verdict, and refresh\n"
           "                   the cache\n"
           "  --retest-after DAYS  how long a full test stands with --incremental (default 30)\n"
           "  --jobs N         archives read and tested at once (default: one per core)\n"
           "  --wait SECONDS   when another run of this user is cleaning a folder, wait up to\n"
           "                   SECONDS for it to end before that folder is refused (default 0)\n"
           "  -q, --quiet      print no summary line on stdout: a run that ends well prints nothing\n"
           "  --shard K/N      clean only shard K (0 to N-1) of N: the folders (with -r, every folder\n"
           "                   below) whose path relative to the FOLDER named hashes to K; N runs with\n"
           "                   K = 0 to N-1 clean each folder once, the same folders every time\n"
           "  -h, --help       show this text\n"
           "  --version        show the version\n"
           "  --               what follows are FOLDERs, even when they start with -\n"
           "\n"
           "When stderr is a terminal, an unattended run shows its progress there. Runs on different\n"
           "folders may go at once; a second run of a folder already being cleaned is refused (or\n"
           "waits, with --wait). The lock is held in a folder of the user's own: runs of other users\n"
           "can neither take nor hold it.\n"
           "SIGINT, SIGTERM and SIGHUP abort a run as the Abort button does: the archive in work stays\n"
           "as it was, the summary and the report are written.\n"
           "\n"
           "Entries of these methods are tested: stored, shrink, reduce, implode, deflate, deflate64,\n"
           "bzip2, LZMA, xz, zstd and PPMd. Encrypted entries and entries of any other method are\n"
           "listed but not tested, and never count as damage.\n"
           "\n"
           "Each archive renamed to *.bad gets one line on stderr with its name and the damage found.\n"
           "\n"
           "Exit status: 0 the run ended and found no damage, 1 it was aborted (the Abort button or a\n"
           "signal), 2 a folder does not exist, a run was refused or the command line is wrong, 3 the\n"
           "run ended and found damaged archives (a dry run too). 1 and 2 come before 3.\n"
           "\n"
           "Files: beside the program when its folder is writable; otherwise the purge list in\n"
           "$XDG_CONFIG_HOME/tamsorel/purge.txt, the temp folder and the verdict cache\n"
           "(verdicts.sqlite) in $XDG_CACHE_HOME/tamsorel/.\n";
}

const char* licenceText()
{
    return "Copyright (c) 2026 The Tamsorel developers.\n"
           "Licence: MIT <https://opensource.org/license/mit>. The full text is in the LICENSE file\n"
           "of the source and in /usr/share/doc/tamsorel/copyright.\n"
           "This is free software: you are free to change and redistribute it.\n"
           "There is NO WARRANTY, to the extent permitted by law.\n";
}
