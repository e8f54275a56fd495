#include "ui/FolderPanel.h"

QFileDialog* makeFolderPanel(QWidget* parent, const QString& title, const QString& directory,
                             const QString& acceptLabel) {
    auto* panel = new QFileDialog(parent, title);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setOption(QFileDialog::DontUseNativeDialog);
    panel->setOption(QFileDialog::ShowDirsOnly);
    panel->setFileMode(QFileDialog::Directory);
    panel->setWindowModality(Qt::WindowModal);
    if (!acceptLabel.isEmpty()) panel->setLabelText(QFileDialog::Accept, acceptLabel);
    if (!directory.isEmpty()) panel->setDirectory(directory);
    return panel;
}
