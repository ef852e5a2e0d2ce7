#pragma once
// The command-line options of the verdict cache and the read-ahead workers: --incremental, --full,
// --retest-after DAYS and --jobs N, read into the one settings struct the run takes.

#include "zip/CollectionSettings.h"

#include <QStringList>

// Reads args[i] (and its value, moving i past it) when it is one of these options; false otherwise. A
// value out of range leaves a reason in *error.
bool takeCollectionOption(const QStringList& args, int& i, CollectionSettings& settings, QString* error);
