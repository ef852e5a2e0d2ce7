#pragma once
// Small encoders for the 1990s methods no tool here writes (shrink, reduce, implode), so tests can make
// real archives of them. They aim at valid streams that use every feature of the format, not at ratio.

#include <QByteArray>

namespace testzip {

// Method 1. Widens the codes up to 13 bits and clears the leaves whenever the code table is full.
QByteArray shrink(const QByteArray& data);
// Methods 2-5: factor 1-4 (method = factor + 1).
QByteArray reduce(const QByteArray& data, int factor);
// Method 6. bigWindow is flag bit 1 (8K), literalTree flag bit 2 (three trees).
QByteArray implode(const QByteArray& data, bool bigWindow, bool literalTree);

} // namespace testzip
