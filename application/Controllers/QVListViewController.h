// One tab of the filters page: the entries of a block or allow list in a
// one-column table, with a bar under it to add an entry (through the add
// dialog) and remove the selected ones. The page follows the list's change
// signal, so entries added from the mail plug-in appear at once.
#pragma once

#include "QVViewController.h"

#include <QPointer>

#include <memory>

class QAbstractButton;
class QTableView;
class QVAddEmailOrDomainDialog;
class QVCWindowController;
class QVFUndertableControl;
class QVMailList;

namespace Ui {
class QVListViewController;
}

class QVListViewController final : public QVViewController {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVListViewController)
    Q_PROPERTY(bool hasItems READ hasItems NOTIFY hasItemsChanged)

public:
    QVListViewController(QVMailList *list, QWidget *parent = nullptr);
    ~QVListViewController() override;

    QTableView *tableView() const;
    QVFUndertableControl *undertableControl() const;
    bool hasItems() const;

    // The table's data source.
    int numberOfRows() const;
    QString objectValueForRow(int row) const;

    // The minus button is enabled exactly while rows are selected.
    void updateControls();
    void addItem();
    void removeItem();
    void reloadData();

    // The add dialog while it is open.
    QVAddEmailOrDomainDialog *addDialog() const { return addDialog_; }

signals:
    void hasItemsChanged();

private:
    void addEmailOrDomainDialog(QVCWindowController *dialog, int code);

    class Model;
    std::unique_ptr<Ui::QVListViewController> ui_;
    QPointer<QVMailList> list_;
    Model *model_;
    QPointer<QVAddEmailOrDomainDialog> addDialog_;
};
