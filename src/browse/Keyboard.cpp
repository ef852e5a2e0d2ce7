// The window's keyboard commands.

#include "app/Form1.h"

void Form1::Form_KeyDown(int, int) {}
