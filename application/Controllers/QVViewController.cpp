#include "QVViewController.h"

#include "Dialog/QVCWindowController.h"

QVViewController::QVViewController(QWidget *parent) : QWidget(parent) {}

QVViewController::~QVViewController()
{
    const QList<QVCWindowController *> dialogs = findChildren<QVCWindowController *>(Qt::FindDirectChildrenOnly);
    for (QVCWindowController *dialog : dialogs) {
        disconnect(dialog, nullptr, this, nullptr);
        dialog->cancelClick();
    }
}

void QVViewController::adoptDesignSize()
{
    const QSize needed = size().expandedTo(minimumSizeHint());
    if (needed == size())
        return;
    resize(needed);
    emit viewSizeChanged(needed);
}
