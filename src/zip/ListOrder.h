#pragma once
// The order of a listing's lines: case-folded, as QString::compare with Qt::CaseInsensitive compares, ties
// in the order of their UTF-16 units. The window's sorted list boxes show lines in it, and a run's purge
// pass goes through an archive's lines in it, so both see the same lines in the same places.

#include <QStringList>

// The lines in that order, each folded once.
QStringList sortedLines(const QStringList& lines);
