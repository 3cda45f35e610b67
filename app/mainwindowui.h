#pragma once

// The form record: uic's class for ui/mainwindow.ui, one pointer per action, widget, layout
// and spacer, named like the object it points to, with setupUi() and retranslateUi().
#include "ui_mainwindow.h"

class MainWindowUi : public Ui_MainWindow
{
};
