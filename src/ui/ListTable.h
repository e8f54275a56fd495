// The read-only, one-row-at-a-time table the preset and profile windows list
// their entries in: 32-pixel icons in 40-pixel rows, no row header, the
// first column taking the spare width.
#pragma once

#include <QStringList>

class QTableWidget;

QTableWidget* newListTable(const QString& objectName, const QStringList& headers);
