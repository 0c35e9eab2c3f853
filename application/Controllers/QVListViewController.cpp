#include "QVListViewController.h"

#include "Dialog/QVAddEmailOrDomainDialog.h"
#include "QVButtonCell.h"
#include "QVFUndertableControl.h"
#include "QVMailList.h"
#include "ui_QVListViewController.h"

#include <QAbstractListModel>
#include <QItemSelectionModel>

#include <algorithm>

class QVListViewController::Model final : public QAbstractListModel {
public:
    explicit Model(QVListViewController *page) : QAbstractListModel(page), page_(page) {}

    int rowCount(const QModelIndex &parent) const override { return parent.isValid() ? 0 : page_->numberOfRows(); }
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
            return {};
        return page_->objectValueForRow(index.row());
    }
    void reset()
    {
        beginResetModel();
        endResetModel();
    }

private:
    QVListViewController *page_;
};

QVListViewController::QVListViewController(QVMailList *list, QWidget *parent)
    : QVViewController(parent), ui_(std::make_unique<Ui::QVListViewController>()), list_(list), model_(new Model(this))
{
    ui_->setupUi(this);
    ui_->tableView->setModel(model_);
    adoptDesignSize();

    connect(ui_->undertableControl->plusButton(), &QAbstractButton::clicked, this, &QVListViewController::addItem);
    connect(ui_->undertableControl->minusButton(), &QAbstractButton::clicked, this, &QVListViewController::removeItem);
    connect(ui_->tableView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &QVListViewController::updateControls);
    if (list_)
        connect(list_, &QVMailList::VQMailListDidChange, this, &QVListViewController::reloadData);
    updateControls();
}

QVListViewController::~QVListViewController() = default;

QTableView *QVListViewController::tableView() const
{
    return ui_->tableView;
}

QVFUndertableControl *QVListViewController::undertableControl() const
{
    return ui_->undertableControl;
}

bool QVListViewController::hasItems() const
{
    return numberOfRows() > 0;
}

int QVListViewController::numberOfRows() const
{
    return list_ ? int(list_->numberOfItems()) : 0;
}

QString QVListViewController::objectValueForRow(int row) const
{
    return list_ ? list_->itemAtIndex(row) : QString();
}

void QVListViewController::updateControls()
{
    ui_->undertableControl->minusButton()->setEnabled(ui_->tableView->selectionModel()->hasSelection());
}

void QVListViewController::addItem()
{
    if (addDialog_)
        return;
    addDialog_ = new QVAddEmailOrDomainDialog(this);
    connect(addDialog_, &QVCWindowController::sheetDidEnd, this, &QVListViewController::addEmailOrDomainDialog);
    addDialog_->beginSheetForHostWindow(window());
}

void QVListViewController::addEmailOrDomainDialog(QVCWindowController *dialog, int code)
{
    if (code != QVCWindowController::kQVDialogOk || !list_)
        return;
    list_->addItem(static_cast<QVAddEmailOrDomainDialog *>(dialog)->item());
    reloadData();
}

void QVListViewController::removeItem()
{
    const QModelIndexList rows = ui_->tableView->selectionModel()->selectedRows();
    if (rows.isEmpty() || !list_)
        return;
    QList<qsizetype> indexes;
    indexes.reserve(rows.size());
    for (const QModelIndex &row : rows)
        indexes.append(row.row());
    std::sort(indexes.begin(), indexes.end());
    list_->removeItemAtIndexes(indexes);
    reloadData();
}

void QVListViewController::reloadData()
{
    model_->reset();
    emit hasItemsChanged();
    updateControls();
}
