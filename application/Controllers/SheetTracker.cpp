#include "SheetTracker.h"

#include <QEvent>

SheetTracker::SheetTracker(QWidget *window, QObject *parent) : QObject(parent), window_(window)
{
    if (window_)
        window_->installEventFilter(this);
}

SheetTracker::~SheetTracker()
{
    if (window_)
        window_->removeEventFilter(this);
}

bool SheetTracker::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == window_) {
        // Qt sends each only on a change of the window's blocked state, so
        // nested dialogs count once.
        if (event->type() == QEvent::WindowBlocked && !blocked_) {
            blocked_ = true;
            emit sheetWillBegin();
        } else if (event->type() == QEvent::WindowUnblocked && blocked_) {
            blocked_ = false;
            emit sheetDidEnd();
        }
    }
    return QObject::eventFilter(watched, event);
}
