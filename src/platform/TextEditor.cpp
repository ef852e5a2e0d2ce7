#include "platform/TextEditor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace texteditor {

namespace {

QStringList envList(const char* variable, const QString& fallback)
{
    QString value = qEnvironmentVariable(variable);
    if (value.isEmpty())
        value = fallback;
    QStringList out;
    for (const QString& part : value.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        if (QDir::isAbsolutePath(part))
            out.append(QDir::cleanPath(part));
    return out;
}

QString homeBased(const char* variable, const QString& belowHome)
{
    const QString value = qEnvironmentVariable(variable);
    return QDir::isAbsolutePath(value) ? QDir::cleanPath(value) : QDir::homePath() + QLatin1Char('/') + belowHome;
}

// Values of `key` in `group` of a desktop-style file, in file order; the first occurrence wins.
QString groupValue(const QString& path, const QString& group, const QString& key)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    bool inGroup = false;
    const QString header = QLatin1Char('[') + group + QLatin1Char(']');
    while (!f.atEnd()) {
        const QString line = QString::fromUtf8(f.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inGroup = line == header;
            continue;
        }
        if (!inGroup)
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq > 0 && line.left(eq).trimmed() == key)
            return line.mid(eq + 1).trimmed();
    }
    return {};
}

// The first listed application that is installed.
QString firstInstalled(const Places& places, const QString& list)
{
    for (const QString& id : list.split(QLatin1Char(';'), Qt::SkipEmptyParts))
        if (!desktopEntryPath(places, id.trimmed()).isEmpty())
            return id.trimmed();
    return {};
}

QString unescapeValue(const QString& value)
{
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (c != u'\\' || i + 1 == value.size()) {
            out.append(c);
            continue;
        }
        const QChar n = value[++i];
        out.append(n == u's'   ? QChar(u' ')
                   : n == u'n' ? QChar(u'\n')
                   : n == u't' ? QChar(u'\t')
                   : n == u'r' ? QChar(u'\r')
                               : n);
    }
    return out;
}

} // namespace

Places Places::fromEnvironment()
{
    Places p;
    p.configDirs << homeBased("XDG_CONFIG_HOME", QStringLiteral(".config"))
                 << envList("XDG_CONFIG_DIRS", QStringLiteral("/etc/xdg"));
    p.dataDirs << homeBased("XDG_DATA_HOME", QStringLiteral(".local/share"))
               << envList("XDG_DATA_DIRS", QStringLiteral("/usr/local/share:/usr/share"));
    for (const QString& d : qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(QLatin1Char(':'), Qt::SkipEmptyParts))
        p.desktops.append(d.toLower());
    return p;
}

QString defaultApplication(const Places& places, const QString& mimeType)
{
    QStringList lists;
    for (const QString& dir : places.configDirs) {
        for (const QString& desktop : places.desktops)
            lists << dir + QLatin1Char('/') + desktop + QStringLiteral("-mimeapps.list");
        lists << dir + QStringLiteral("/mimeapps.list");
    }
    for (const QString& dir : places.dataDirs) {
        for (const QString& desktop : places.desktops)
            lists << dir + QStringLiteral("/applications/") + desktop + QStringLiteral("-mimeapps.list");
        lists << dir + QStringLiteral("/applications/mimeapps.list");
    }
    for (const QString& list : lists) {
        const QString id = firstInstalled(places, groupValue(list, QStringLiteral("Default Applications"), mimeType));
        if (!id.isEmpty())
            return id;
    }
    // No default chosen anywhere: the applications that declare the type, as the cache lists them.
    for (const QString& dir : places.dataDirs) {
        const QString id = firstInstalled(places, groupValue(dir + QStringLiteral("/applications/mimeinfo.cache"),
                                                             QStringLiteral("MIME Cache"), mimeType));
        if (!id.isEmpty())
            return id;
    }
    return {};
}

QString desktopEntryPath(const Places& places, const QString& desktopId)
{
    if (!desktopId.endsWith(QLatin1String(".desktop")) || desktopId.contains(QLatin1Char('/')))
        return {};
    // "a-b-c.desktop" may also live as a/b-c.desktop or a/b/c.desktop below applications/.
    QStringList relative{desktopId};
    QString nested = desktopId;
    for (qsizetype dash = nested.indexOf(QLatin1Char('-')); dash > 0; dash = nested.indexOf(QLatin1Char('-'), dash)) {
        nested[dash] = QLatin1Char('/');
        relative << nested;
    }
    for (const QString& dir : places.dataDirs)
        for (const QString& r : relative) {
            const QString path = dir + QStringLiteral("/applications/") + r;
            if (QFileInfo(path).isFile())
                return path;
        }
    return {};
}

QStringList expandExec(const QString& exec, const QString& file, const QString& name, const QString& icon,
                       const QString& entryPath)
{
    const QString value = unescapeValue(exec);
    QStringList args;
    QString current;
    bool inArgument = false;
    bool quoted = false;
    bool fileGiven = false;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (quoted) {
            if (c == u'"') {
                quoted = false;
            } else if (c == u'\\' && i + 1 < value.size()) {
                current.append(value[++i]);
            } else {
                current.append(c);
            }
            continue;
        }
        if (c == u' ' || c == u'\t') {
            if (inArgument)
                args.append(current);
            current.clear();
            inArgument = false;
            continue;
        }
        inArgument = true;
        if (c == u'"') {
            quoted = true;
        } else if (c == u'%' && i + 1 < value.size()) {
            const QChar code = value[++i];
            if (code == u'f' || code == u'F' || code == u'u' || code == u'U') {
                current.append(file);
                fileGiven = true;
            } else if (code == u'c') {
                current.append(name);
            } else if (code == u'k') {
                current.append(entryPath);
            } else if (code == u'i' && !icon.isEmpty() && current.isEmpty()) {
                args << QStringLiteral("--icon") << icon;
                inArgument = false;
            } else if (code == u'%') {
                current.append(u'%');
            } else if (current.isEmpty()) {
                inArgument = false; // a field code that expands to nothing is no argument
            }
        } else {
            current.append(c);
        }
    }
    if (inArgument)
        args.append(current);
    // An entry without a field code for files still gets the file: it was chosen to open this type.
    if (!args.isEmpty() && !fileGiven)
        args.append(file);
    return args;
}

QStringList commandFor(const QString& desktopEntryPath, const QString& file)
{
    const QString group = QStringLiteral("Desktop Entry");
    const QString exec = groupValue(desktopEntryPath, group, QStringLiteral("Exec"));
    QStringList args = expandExec(exec, file, groupValue(desktopEntryPath, group, QStringLiteral("Name")),
                                  groupValue(desktopEntryPath, group, QStringLiteral("Icon")), desktopEntryPath);
    if (args.isEmpty())
        return {};
    if (groupValue(desktopEntryPath, group, QStringLiteral("Terminal")) == QLatin1String("true")) {
        const QString terminal = QStandardPaths::findExecutable(QStringLiteral("x-terminal-emulator"));
        if (terminal.isEmpty())
            return {};
        args.prepend(QStringLiteral("-e"));
        args.prepend(terminal);
    }
    return args;
}

} // namespace texteditor
