// A dialog that asks for one line of text (an address, or an address or a
// domain): a label, a field and OK and Cancel, OK enabled while the text is
// valid. Subclasses load their own interface file and say what is valid.
#pragma once

#include "QVCWindowController.h"

class QLabel;
class QLineEdit;
class QPushButton;

class QVCItemDialog : public QVCWindowController {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVCItemDialog)
    Q_PROPERTY(QString item READ item WRITE setItem NOTIFY itemChanged)
    Q_PROPERTY(bool isValidItem READ isValidItem NOTIFY itemChanged)

public:
    // The text typed; empty at first.
    QString item() const { return item_; }
    void setItem(const QString &item);
    virtual bool isValidItem() const = 0;

signals:
    // Also tells that isValidItem may have changed.
    void itemChanged();

protected:
    explicit QVCItemDialog(QWidget *parent);
    ~QVCItemDialog() override;

    // Connects the controls of the subclass's interface file.
    void bindItemControls(QLabel *label, const QString &title, QLineEdit *field, QPushButton *ok, QPushButton *cancel);

private:
    QString item_;
    QLineEdit *field_ = nullptr;
};
