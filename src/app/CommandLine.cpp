#include "app/CommandLine.h"

#include <functional>

namespace {

struct Option
{
    const char* longName;
    char shortName; // 0: none
    bool takesValue;
    std::function<void(RunOptions&, const QString& value)> apply;
};

// One row per option; an option that takes a value takes it as the next argument or after '='.
const Option kOptions[] = {
    {"help", 'h', false, [](RunOptions& o, const QString&) { o.help = true; }},
    {"version", 0, false, [](RunOptions& o, const QString&) { o.version = true; }},
    {"dry-run", 0, false, [](RunOptions& o, const QString&) { o.dryRun = true; }},
    {"salvage", 0, false, [](RunOptions& o, const QString&) { o.salvage = true; }},
    {"recursive", 'r', false, [](RunOptions& o, const QString&) { o.recursive = true; }},
    {"report", 0, true, [](RunOptions& o, const QString& v) { o.report = v.isNull() ? QLatin1String("") : v; }},
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
            option->apply(o, option->takesValue ? QString::fromLocal8Bit(value) : QString());
        }
    }
    if (!o.error.isEmpty())
        return o;
    if ((o.dryRun || o.salvage || o.recursive || !o.report.isNull()) && o.folders.isEmpty())
        o.error = QStringLiteral("--dry-run, --salvage, --recursive and --report need a FOLDER");
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
           "  -h, --help       show this text\n"
           "  --version        show the version\n"
           "  --               what follows are FOLDERs, even when they start with -\n"
           "\n"
           "When stderr is a terminal, an unattended run shows its progress there. Runs on different\n"
           "folders may go at once; a second run of a folder already being cleaned is refused.\n"
           "SIGINT, SIGTERM and SIGHUP abort a run as the Abort button does: the archive in work stays\n"
           "as it was, the summary and the report are written.\n"
           "\n"
           "Entries of these methods are tested: stored, shrink, reduce, implode, deflate, deflate64,\n"
           "bzip2, LZMA, xz, zstd and PPMd. Encrypted entries and entries of any other method are\n"
           "listed but not tested, and never count as damage.\n"
           "\n"
           "Exit status: 0 the run ended, 1 it was aborted (the Abort button or a signal), 2 a folder\n"
           "does not exist, a run was refused or the command line is wrong.\n"
           "\n"
           "Files: beside the program when its folder is writable; otherwise the purge list in\n"
           "$XDG_CONFIG_HOME/tamsorel/purge.txt and the temp folder in $XDG_CACHE_HOME/tamsorel/.\n";
}
