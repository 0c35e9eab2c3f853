// Asks for one address or domain for the block or allow list. OK is
// enabled while the text is a valid address (also "*@domain") or domain.
#pragma once

#include "QVCItemDialog.h"

#include <memory>

namespace Ui {
class QVAddEmailOrDomainDialog;
}

class QVAddEmailOrDomainDialog final : public QVCItemDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVAddEmailOrDomainDialog)

public:
    explicit QVAddEmailOrDomainDialog(QWidget *parent = nullptr);
    ~QVAddEmailOrDomainDialog() override;

    // The label of the field.
    static QString itemTitle();
    bool isValidItem() const override;

private:
    std::unique_ptr<Ui::QVAddEmailOrDomainDialog> ui_;
};
