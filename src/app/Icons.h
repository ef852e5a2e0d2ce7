#pragma once
// The program's pictures, drawn by code so that no image file has to travel with it, and its decorative face.

#include <QFont>
#include <QIcon>

QIcon programIcon();  // a folder with a zipper
QIcon cleanAllIcon(); // a broom for "Clean all"

// The decorative serif of the author's initials and the About title: the first of a few common faces that is
// installed ("Chaucer" itself, the URW chancery, Bookman and Century faces), else the system's serif.
QFont decorativeFont(qreal pointSize);
