#pragma once

#include "mainwindow.h"

class QTimer;

// What the window's tests look at inside the window: its three timers and its reply framer.
class MainWindowProbe
{
public:
    static QTimer *frameTimer(const MainWindow *w) { return w->frameTimer; }
    static QTimer *replyTimer(const MainWindow *w) { return w->replyTimer; }
    static QTimer *iapTimer(const MainWindow *w) { return w->iapTimer; }
    static const links::ReplyFramer *framer(const MainWindow *w) { return &w->framer; }
};
