// Asks for the e-mail address the application works for. OK is enabled
// while the text is a valid address (the test also accepts "*@domain").
#pragma once

#include "QVCWindowController.h"

#include <memory>

namespace Ui {
class QVChangeUserEmailDialog;
}

class QVChangeUserEmailDialog final : public QVCWindowController {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVChangeUserEmailDialog)
    Q_PROPERTY(QString item READ item WRITE setItem NOTIFY itemChanged)
    Q_PROPERTY(bool isValidItem READ isValidItem NOTIFY itemChanged)

public:
    explicit QVChangeUserEmailDialog(QWidget *parent = nullptr);
    ~QVChangeUserEmailDialog() override;

    QString item() const { return item_; }
    void setItem(const QString &item);
    // The label of the field.
    static QString itemTitle();
    bool isValidItem() const;

signals:
    // Also tells that isValidItem may have changed.
    void itemChanged();

private:
    std::unique_ptr<Ui::QVChangeUserEmailDialog> ui_;
    QString item_;
};
