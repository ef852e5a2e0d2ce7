// The clean-all run and the cleaning steps of one archive.

#include "app/Form1.h"

void Form1::Command2_Click() {}

CleanOutcome Form1::CleanArchive(int, qint64&, qint64&)
{
    return CleanOutcome::Finished;
}
