#include "QVMainWindowAdaptor.h"

#include "QVAppDelegate.h"
#include "QVMainWindowController.h"

QVMainWindowAdaptor::QVMainWindowAdaptor(QObject *busObject, QVAppDelegate *delegate)
    : QDBusAbstractAdaptor(busObject), delegate_(delegate)
{
}

bool QVMainWindowAdaptor::visible() const
{
    QVMainWindowController *controller = delegate_ ? delegate_->mainController() : nullptr;
    // Asking must not load the window.
    if (!controller || !controller->isWindowLoaded())
        return false;
    const QWidget *window = controller->window();
    return window->isVisible() && !window->isMinimized();
}

int QVMainWindowAdaptor::selectedPage() const
{
    QVMainWindowController *controller = delegate_ ? delegate_->mainController() : nullptr;
    return controller ? controller->selectedTag() : -1;
}
