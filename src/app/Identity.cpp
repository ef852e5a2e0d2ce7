#include "app/Identity.h"

#include <QCoreApplication>

void nameApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("Tamsorel"));
}
