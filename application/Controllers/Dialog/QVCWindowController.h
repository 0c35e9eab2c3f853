// The base of the application's small dialogs. A dialog is shown either as
// a sheet (window-modal on its host window, announcing its end through
// sheetDidEnd) or application-modal (runModalForHostWindow). Subclasses fill
// in five hooks.
//
// A dialog shown as a sheet is a child of the page that opened it and is
// deleted once it has ended; a page that goes away ends its dialogs as
// Cancel first (see QVViewController).
#pragma once

#include <QDialog>
#include <QPointer>

class QVCWindowController : public QDialog {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVCWindowController)

public:
    // Result codes of a dialog.
    static constexpr int kQVDialogCancel = 0;
    static constexpr int kQVDialogOk = 1;
    // The sheet is off the window but the dialog has not ended.
    static constexpr int kQVDialogTemporaryHide = -1101;

    explicit QVCWindowController(QWidget *parent = nullptr);
    ~QVCWindowController() override;

    // The window the dialog is shown on; null when it is not shown.
    QWidget *hostWindow() const { return hostWindow_; }

    // Shows the dialog as a sheet on `hostWindow`, which must not be null. A
    // dialog without a parent becomes a child of the host window.
    void beginSheetForHostWindow(QWidget *hostWindow);
    // Runs the dialog application-modal; true when it ended with OK.
    bool runModalForHostWindow(QWidget *hostWindow);

    // Takes the sheet off its window without ending it; showAgain() puts it
    // back.
    void temporaryHide();
    void showAgain();

    void okClick();
    // Ends editing in the focused field first.
    void cancelClick();

    // Every way a dialog ends (buttons, Escape, closing the window) comes
    // through here.
    void done(int code) override;
    // Escape and closing the window: what Cancel does.
    void reject() override { cancelClick(); }

signals:
    // Once per sheet: kQVDialogOk or kQVDialogCancel.
    void sheetDidEnd(QVCWindowController *dialog, int code);

protected:
    // Once, before the dialog is first shown.
    virtual void initializeWindow() {}
    // Before every showing.
    virtual void prepareToShow() {}
    virtual void performOk() {}
    virtual void performCancel() {}
    // After the end has been announced.
    virtual void prepareToClose() {}

private:
    enum class Mode { None, Sheet, Modal };

    void loadWindow();
    void callSheetDidEndCallbackWithCode(int code);

    Mode mode_ = Mode::None;
    QPointer<QWidget> hostWindow_;
    bool windowLoaded_ = false;
    bool callbackPending_ = false;
};
