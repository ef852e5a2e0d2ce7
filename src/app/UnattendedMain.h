#pragma once
// The program with folders on its command line: a QCoreApplication that cleans them with no window, no
// widget and no connection to a display, and returns the run's status.

#include "app/CommandLine.h"

int unattendedMain(int argc, char* argv[], RunOptions& options);
