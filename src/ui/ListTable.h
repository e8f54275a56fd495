// The read-only, one-row-at-a-time table the preset and profile windows list
// their entries in: 32-pixel icons in 40-pixel rows, no row header, the
// first column taking the spare width.
#pragma once

#include <QStringList>
#include <functional>

class QPushButton;
class QTableWidget;
class QWidget;

QTableWidget* newListTable(const QString& objectName, const QStringList& headers);

// The body of such a window: the table over a row of buttons, `leading` (if
// any) on the left and the delete button on the right, enabled only while a
// row is selected.
QWidget* newListWindowBody(QTableWidget* table, QPushButton* deleteButton,
                           QPushButton* leading = nullptr);

// Asks before a row's file is deleted ("Cancel" is what Return and Escape
// choose); `remove` runs only on "Delete".
void confirmDeletion(QWidget* window, const QString& kind, const QString& name,
                     std::function<void()> remove);
