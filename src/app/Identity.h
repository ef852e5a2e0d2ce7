#pragma once
// The application's name, as sockets, settings and the window system know it.

// Names the application. It sets no display name: the window system appends that to every window title, and
// each window's caption is meant to be its whole title.
void nameApplication();
