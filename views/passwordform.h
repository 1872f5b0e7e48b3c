#pragma once
// The password page: the form "MainForm" (a masked line edit of at most 50
// characters under its label) built on a fresh top-level widget. It has no logic:
// the on-screen keyboard types into the line edit and the view manager decides.

#include "ui_mainform.h"

#include <QWidget>

class QLineEdit;

// Builds the form on page and returns its line edit, limited to maxLength characters.
QLineEdit *buildPasswordForm(QWidget *page, Ui_MainForm *form, int maxLength = 50);
