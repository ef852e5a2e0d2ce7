// Add and View: the purge list commands of the window.

#include "app/Form1.h"

void Form1::Command1_Click() {}

void Form1::vpurge_Click() {}
