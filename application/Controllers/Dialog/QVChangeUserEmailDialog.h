// Asks for the e-mail address the application works for. OK is enabled
// while the text is a valid address (the test also accepts "*@domain").
#pragma once

#include "QVCItemDialog.h"

#include <memory>

namespace Ui {
class QVChangeUserEmailDialog;
}

class QVChangeUserEmailDialog final : public QVCItemDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVChangeUserEmailDialog)

public:
    explicit QVChangeUserEmailDialog(QWidget *parent = nullptr);
    ~QVChangeUserEmailDialog() override;

    // The label of the field.
    static QString itemTitle();
    bool isValidItem() const override;

private:
    std::unique_ptr<Ui::QVChangeUserEmailDialog> ui_;
};
