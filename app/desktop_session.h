#pragma once

#include <QString>
#include <initializer_list>

class QWidget;

// Whether the program has a window system to show its windows on. Without
// one Qt would abort (a core dump after a paragraph about plugins); this
// says so in one line on stderr instead, and how to run without a screen.
bool haveDisplay();

// Makes the windows' native windows with the desktop file's name as their
// X11 window class, so that a dock groups them with the menu entry. X11
// takes the class from the application's name when a window is made; the
// name itself stays the program's (screen readers say it, --version prints it).
void createWindowsForDesktop(
    std::initializer_list<QWidget *> windows, const QString &desktopFileName);
