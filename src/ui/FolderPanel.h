// The window-modal folder chooser the windows share: non-native, folders
// only, deleted when closed. The caller connects to its signals and opens it.
#pragma once

#include <QFileDialog>
#include <QString>

// `directory` and `acceptLabel` are left as Qt has them when empty.
QFileDialog* makeFolderPanel(QWidget* parent, const QString& title, const QString& directory = {},
                             const QString& acceptLabel = {});
