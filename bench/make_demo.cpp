// Writes a small folder of sample archives that shows the program at work: one with junk entries that the
// default purge list names, one double zip, one damaged archive and one clean archive.

#include "testsupport/TestArchives.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_demo FOLDER\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);
    const QByteArray diz = "Tamsorel demo archive\r\nA few files to show the cleaner at work.\r\n";
    using testzip::file;
    bool ok =
        testzip::writeZip(folder + "/junk.zip", {file("readme.txt", testzip::text(3000, 1)), file("file_id.diz", diz),
                                                 file("thumbs.db", "junk"), file("ads.txt", "Visit our site!\r\n"),
                                                 file("website.url", "[InternetShortcut]\r\n")});
    ok &= testzip::writeZip(
        folder + "/double.zip",
        {file("file_id.diz", diz), file("program.txt", testzip::text(5000, 2)), file("FILE_ID.DIZ", diz)});
    QByteArray damaged = testzip::build({file("notes.txt", testzip::text(20000, 3)), file("file_id.diz", diz)});
    damaged[100] = char(damaged[100] ^ 0x55); // a flipped byte inside the first entry's data
    ok &= testzip::write(folder + "/damaged.zip", damaged);
    ok &= testzip::writeZip(folder + "/clean.zip",
                            {file("file_id.diz", diz), file("manual.txt", testzip::text(8000, 4))});
    std::printf("Demo archives written to %s\n", qPrintable(QDir::toNativeSeparators(folder)));
    return ok ? 0 : 1;
}
