// Asks for one address or domain for the block or allow list. OK is
// enabled while the text is a valid address (also "*@domain") or domain.
#pragma once

#include "QVCWindowController.h"

#include <memory>

namespace Ui {
class QVAddEmailOrDomainDialog;
}

class QVAddEmailOrDomainDialog final : public QVCWindowController {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVAddEmailOrDomainDialog)
    Q_PROPERTY(QString item READ item WRITE setItem NOTIFY itemChanged)
    Q_PROPERTY(bool isValidItem READ isValidItem NOTIFY itemChanged)

public:
    explicit QVAddEmailOrDomainDialog(QWidget *parent = nullptr);
    ~QVAddEmailOrDomainDialog() override;

    QString item() const { return item_; }
    void setItem(const QString &item);
    // The label of the field.
    static QString itemTitle();
    bool isValidItem() const;

signals:
    // Also tells that isValidItem may have changed.
    void itemChanged();

private:
    std::unique_ptr<Ui::QVAddEmailOrDomainDialog> ui_;
    QString item_;
};
