#include "ui/ListTable.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

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
