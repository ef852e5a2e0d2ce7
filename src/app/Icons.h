#pragma once
// The program's pictures, drawn by code so that no image file has to travel with it.

#include <QIcon>

QIcon programIcon();  // a folder with a zipper
QIcon cleanAllIcon(); // a broom for "Clean all"
