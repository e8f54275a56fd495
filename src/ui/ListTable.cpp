#include "ui/ListTable.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "ui/AlertPresenter.h"

QTableWidget* newListTable(const QString& objectName, const QStringList& headers) {
    auto* table = new QTableWidget(0, int(headers.size()));
    table->setObjectName(objectName);
    table->setHorizontalHeaderLabels(headers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setIconSize(QSize(32, 32));
    table->verticalHeader()->hide();
    table->verticalHeader()->setDefaultSectionSize(40);
    table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    return table;
}

QWidget* newListWindowBody(QTableWidget* table, QPushButton* deleteButton, QPushButton* leading) {
    QObject::connect(
        table, &QTableWidget::itemSelectionChanged, deleteButton,
        [table, deleteButton] { deleteButton->setEnabled(!table->selectedItems().isEmpty()); });
    auto* body = new QWidget;
    auto* layout = new QVBoxLayout(body);
    layout->addWidget(table, 1);
    auto* buttons = new QHBoxLayout;
    if (leading) buttons->addWidget(leading);
    buttons->addStretch();
    buttons->addWidget(deleteButton);
    layout->addLayout(buttons);
    return body;
}

void confirmDeletion(QWidget* window, const QString& kind, const QString& name,
                     std::function<void()> remove) {
    platform::Alert alert;
    alert.messageText = QStringLiteral("Delete the %1 “%2”?").arg(kind, name);
    alert.informativeText = QStringLiteral("Its file is removed; this cannot be undone.");
    alert.buttons = {QStringLiteral("Cancel"), QStringLiteral("Delete")};
    alert.cancelButton = 0;
    QPointer<QWidget> guard(window);
    platform::AlertPresenter::current().present(alert, window,
                                                [guard, remove = std::move(remove)](int button) {
                                                    if (guard && button == 1) remove();
                                                });
}
