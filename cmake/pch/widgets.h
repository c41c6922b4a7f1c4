// Precompiled for the targets that use Qt Widgets: the core set and the widgets the station's
// window and dialogs are made of.
#pragma once

#include "cmake/pch/core.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>
