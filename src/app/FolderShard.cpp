#include "app/FolderShard.h"

#include <QCryptographicHash>

int shardOf(const QByteArray& place, int count)
{
    if (count <= 1)
        return 0;
    const QByteArray digest = QCryptographicHash::hash(place, QCryptographicHash::Sha256);
    quint64 value = 0;
    for (int i = 0; i < 8; ++i)
        value = (value << 8) | quint8(digest[i]);
    return int(value % quint64(count));
}

QByteArray placeBelow(const QByteArray& root, const QByteArray& folder)
{
    QByteArray rest = folder.startsWith(root) ? folder.mid(root.size()) : folder;
    while (rest.startsWith('/'))
        rest.remove(0, 1);
    while (rest.endsWith('/'))
        rest.chop(1);
    return rest.isEmpty() ? QByteArrayLiteral(".") : rest;
}
