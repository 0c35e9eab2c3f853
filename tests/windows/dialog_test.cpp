#include "support.h"

#include "page_host.h"

#include "QVAddEmailOrDomainDialog.h"
#include "QVChangeUserEmailDialog.h"
#include "QVListViewController.h"
#include "QVMailList.h"
#include "QVSettingsViewController.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

// Records the hooks a dialog runs.
class ProbeDialog final : public QVCWindowController {
public:
    using QVCWindowController::QVCWindowController;
    QStringList calls;

protected:
    void initializeWindow() override { calls << QStringLiteral("initialize"); }
    void prepareToShow() override { calls << QStringLiteral("show"); }
    void performOk() override { calls << QStringLiteral("ok"); }
    void performCancel() override { calls << QStringLiteral("cancel"); }
    void prepareToClose() override { calls << QStringLiteral("close"); }
};

TEST(AddDialog, OkFollowsTheTextAsItIsTyped)
{
    const struct {
        const char *text;
        bool valid;
    } cases[] = {
        {"user@example.com", true}, {"example.com", true}, {"*@example.com", true}, {"mail.example.co.uk", true},
        {"not an address", false},  {"", false},           {"user@", false},        {"@example.com", false},
    };
    QVAddEmailOrDomainDialog dialog;
    EXPECT_EQ(dialog.item(), QStringLiteral(""));
    auto *field = dialog.findChild<QLineEdit *>(QStringLiteral("itemField"));
    auto *ok = dialog.findChild<QPushButton *>(QStringLiteral("okButton"));
    ASSERT_TRUE(field && ok);
    EXPECT_FALSE(ok->isEnabled());
    for (const auto &c : cases) {
        field->clear();
        field->insert(QString::fromLatin1(c.text));
        EXPECT_EQ(dialog.item(), QString::fromLatin1(c.text));
        EXPECT_EQ(dialog.isValidItem(), c.valid) << c.text;
        EXPECT_EQ(ok->isEnabled(), c.valid) << c.text;
    }
    EXPECT_EQ(QVAddEmailOrDomainDialog::itemTitle(), QStringLiteral("Email or Domain:"));
}

TEST(ChangeEmailDialog, AcceptsAddressesOnly)
{
    QVChangeUserEmailDialog dialog;
    // The lists' "*@domain" form is nobody's own address; blanks around an
    // address are dropped.
    for (const auto &[text, valid] :
         {std::pair{"user@example.com", true}, std::pair{" user@example.com ", true}, std::pair{"*@example.com", false},
          std::pair{"example.com", false}, std::pair{"", false}}) {
        dialog.setItem(QString::fromLatin1(text));
        EXPECT_EQ(dialog.isValidItem(), valid) << text;
    }
}

TEST(DialogBase, SheetEndsOnceAndTemporaryHideEndsNothing)
{
    QWidget host;
    host.show();
    QPointer<ProbeDialog> dialog = new ProbeDialog(&host);
    QList<int> codes;
    QObject::connect(dialog, &QVCWindowController::sheetDidEnd, &host,
                     [&](QVCWindowController *, int code) { codes << code; });
    dialog->beginSheetForHostWindow(&host);
    EXPECT_EQ(dialog->hostWindow(), &host);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);

    dialog->temporaryHide();
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_TRUE(codes.isEmpty());
    EXPECT_EQ(dialog->calls, (QStringList{QStringLiteral("initialize"), QStringLiteral("show")}));

    dialog->showAgain();
    EXPECT_TRUE(dialog->isVisible());
    dialog->okClick();
    dialog->okClick();
    EXPECT_EQ(codes, QList<int>{QVCWindowController::kQVDialogOk});
    EXPECT_EQ(dialog->calls,
              (QStringList{QStringLiteral("initialize"), QStringLiteral("show"), QStringLiteral("ok"),
                           QStringLiteral("close")}));
    EXPECT_EQ(dialog->hostWindow(), nullptr);
    // An ended sheet deletes itself.
    EXPECT_TRUE(waitUntil([&] { return dialog.isNull(); }));
}

TEST(DialogBase, CancelEndsEditingAndEscapeCancels)
{
    QWidget host;
    host.show();
    auto *dialog = new QVAddEmailOrDomainDialog(&host);
    QList<int> codes;
    QObject::connect(dialog, &QVCWindowController::sheetDidEnd, &host,
                     [&](QVCWindowController *, int code) { codes << code; });
    dialog->beginSheetForHostWindow(&host);
    auto *field = dialog->findChild<QLineEdit *>(QStringLiteral("itemField"));
    QApplication::setActiveWindow(dialog);
    field->setFocus();
    ASSERT_TRUE(field->hasFocus());
    bool focusedAtEnd = true;
    QObject::connect(dialog, &QVCWindowController::sheetDidEnd, &host,
                     [&](QVCWindowController *, int) { focusedAtEnd = field->hasFocus(); });
    dialog->reject();
    EXPECT_FALSE(focusedAtEnd);
    EXPECT_EQ(codes, QList<int>{QVCWindowController::kQVDialogCancel});
}

TEST(DialogBase, ModalRunAnswersWhetherItEndedWithOk)
{
    QWidget host;
    ProbeDialog dialog;
    QTimer::singleShot(0, &dialog, [&] { dialog.okClick(); });
    EXPECT_TRUE(dialog.runModalForHostWindow(&host));
    QTimer::singleShot(0, &dialog, [&] { dialog.cancelClick(); });
    EXPECT_FALSE(dialog.runModalForHostWindow(&host));
    EXPECT_EQ(dialog.calls,
              (QStringList{QStringLiteral("initialize"), QStringLiteral("show"), QStringLiteral("ok"),
                           QStringLiteral("close"), QStringLiteral("show"), QStringLiteral("cancel"),
                           QStringLiteral("close")}));
}

// A page replaced while its dialog is open ends the dialog as Cancel; the
// vanished page is never called back.
TEST(DialogBase, ReplacingThePageEndsItsDialogAsCancel)
{
    ScratchDataHome dataHome;
    QVMailList list(QStringLiteral("BlackList"));
    PageHost host;
    host.show();
    auto *page = new QVListViewController(&list);
    host.showPage(page, 0);
    page->addItem();
    QPointer<QVAddEmailOrDomainDialog> dialog = page->addDialog();
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(dialog->isVisible());
    dialog->setItem(QStringLiteral("late@example.com"));

    QList<int> codes;
    QObject observer;
    QObject::connect(dialog, &QVCWindowController::sheetDidEnd, &observer,
                     [&](QVCWindowController *, int code) { codes << code; });
    host.showPage(new QVSettingsViewController(nullptr), 1);

    EXPECT_TRUE(dialog.isNull());
    EXPECT_EQ(codes, QList<int>{QVCWindowController::kQVDialogCancel});
    EXPECT_EQ(list.numberOfItems(), 0);
    QCoreApplication::processEvents();
}

}  // namespace
