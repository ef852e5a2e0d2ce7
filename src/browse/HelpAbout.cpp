// Help, web page and the About box.

#include "app/Form1.h"

void Form1::contents_Click() {}
void Form1::web_Click() {}
void Form1::about_Click() {}
void Form1::SSPanel3_Click() {}
