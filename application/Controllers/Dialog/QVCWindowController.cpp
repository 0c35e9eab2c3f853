#include "QVCWindowController.h"

#include "QVLogger.h"

QVCWindowController::QVCWindowController(QWidget *parent) : QDialog(parent) {}

QVCWindowController::~QVCWindowController() = default;

void QVCWindowController::loadWindow()
{
    if (windowLoaded_)
        return;
    windowLoaded_ = true;
    initializeWindow();
}

void QVCWindowController::beginSheetForHostWindow(QWidget *hostWindow)
{
    Q_ASSERT_X(hostWindow, "Controllers/Dialog/QVCWindowController", "Invalid parameter not satisfying: window");
    if (!hostWindow) {
        QVLogCore(QStringLiteral("Invalid parameter not satisfying: window"));
        return;
    }
    hostWindow_ = hostWindow;
    callbackPending_ = true;
    mode_ = Mode::Sheet;
    if (!parentWidget())
        setParent(hostWindow, windowFlags());
    loadWindow();
    prepareToShow();
    open();
}

bool QVCWindowController::runModalForHostWindow(QWidget *hostWindow)
{
    loadWindow();
    hostWindow_ = hostWindow;
    mode_ = Mode::Modal;
    prepareToShow();
    setWindowModality(Qt::ApplicationModal);
    const int code = exec();
    mode_ = Mode::None;
    if (code == kQVDialogOk)
        performOk();
    else
        performCancel();
    prepareToClose();
    hostWindow_ = nullptr;
    return code == kQVDialogOk;
}

void QVCWindowController::temporaryHide()
{
    if (mode_ == Mode::Sheet)
        done(kQVDialogTemporaryHide);
}

void QVCWindowController::showAgain()
{
    if (mode_ == Mode::Sheet && hostWindow_ && !isVisible())
        open();
}

void QVCWindowController::okClick()
{
    if (mode_ == Mode::Modal && hostWindow_)
        hostWindow_->activateWindow();
    done(kQVDialogOk);
}

void QVCWindowController::cancelClick()
{
    if (QWidget *focused = focusWidget())
        focused->clearFocus();
    if (mode_ == Mode::Modal && hostWindow_)
        hostWindow_->activateWindow();
    done(kQVDialogCancel);
}

void QVCWindowController::done(int code)
{
    QDialog::done(code);
    if (mode_ != Mode::Sheet || code == kQVDialogTemporaryHide)
        return;
    mode_ = Mode::None;
    if (code == kQVDialogOk)
        performOk();
    else
        performCancel();
    callSheetDidEndCallbackWithCode(code == kQVDialogOk ? kQVDialogOk : kQVDialogCancel);
    prepareToClose();
    hostWindow_ = nullptr;
    deleteLater();
}

void QVCWindowController::callSheetDidEndCallbackWithCode(int code)
{
    if (!callbackPending_)
        return;
    callbackPending_ = false;
    emit sheetDidEnd(this, code);
}
