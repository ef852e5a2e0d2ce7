#pragma once
// Which shard of a run cleans a folder. N runs started with --shard 0/N to --shard N-1/N over the same
// FOLDERs share the folders out so that each is cleaned by exactly one of them, and by the same one every
// night on every machine, whatever the order in which the file system lists them.
//
// The rule, stable across machines and versions: a folder's place is its path relative to the FOLDER named
// on the command line, as the bytes of its name, components joined by '/', no leading "./" and no trailing
// '/'; the named FOLDER itself is ".". Its shard is the first 8 bytes of the SHA-256 of that place, read as
// a big-endian unsigned 64-bit number, modulo N.

#include <QByteArray>
#include <QString>

// The shard, from 0 to count-1, of a folder at `place`.
int shardOf(const QByteArray& place, int count);

// The place of `folder` below `root` (both as the run names them, `folder` starting with `root`).
QByteArray placeBelow(const QByteArray& root, const QByteArray& folder);
