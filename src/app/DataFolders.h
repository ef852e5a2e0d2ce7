#pragma once
// Where the program's own files live. Portable: everything beside the executable, as in the build folder
// or a folder the user unpacked. Installed: the purge list and purge.bak in $XDG_CONFIG_HOME/tamsorel,
// the temp folder in $XDG_CACHE_HOME/tamsorel/temp, and the shipped read-only files (sounds, help, the
// default purge list) in <prefix>/share/tamsorel.

#include <QString>

struct DataFolders
{
    QString config; // purge.txt and purge.bak
    QString cache;  // holds the temp folder
    QString shared; // sounds, help and the default purge list, read only
    bool installed = false;

    // HOME, or the password database's home of this user when HOME is unset; empty when neither exists.
    static QString homeFolder();
    // Every place is the program folder.
    static DataFolders portable(const QString& programFolder);
    // The XDG places of this user, with share/tamsorel beside the program's bin folder. A place is empty
    // when its XDG variable is unset and the user has no home folder.
    static DataFolders installedFor(const QString& programFolder);
    // Portable when the program folder is writable and is not the bin folder of an installation (one
    // with share/tamsorel beside it and no purge list of its own): a root user or a prefix in the home
    // folder must not strew data files into bin/.
    static DataFolders locate(const QString& programFolder);

    // Creates the config and cache folders of an installed layout and seeds the purge list from the
    // shipped default when the user has none; an existing list is never overwritten. False with a reason
    // when a place is unknown (no home folder) or a folder cannot be made.
    bool prepare(QString* error = nullptr) const;
};
