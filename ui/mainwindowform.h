#ifndef MAINWINDOWFORM_H
#define MAINWINDOWFORM_H

#include "ui_mainwindow.h"

// The form object of the main window: one non-owning pointer per widget and
// layout, generated from ui/mainwindow.ui (form class "MainWindow", so the
// translation context of every text is "MainWindow").
class MainWindowForm : public Ui_MainWindow
{
public:
    // Builds the whole form into the window; sets the texts through
    // applyFormTexts and, as its last step, connects the slots by name.
    void buildForm(QMainWindow *window) { setupUi(window); }
    // Sets every caption, title, item list and tip.
    void applyFormTexts(QMainWindow *window) { retranslateUi(window); }
};

#endif // MAINWINDOWFORM_H
