// The entry viewer: a description or text entry shown in Form2 or in the text editor.

#include "app/Form1.h"

void Form1::List1_DblClick() {}
