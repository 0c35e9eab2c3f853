// The plug-in's hooks in the host's MessageViewer, through the runtime.
#include "mail_fixture.h"

#include "QVObjectRuntime.h"

using namespace Qt::StringLiterals;

namespace {

class Hooks : public MailHostTest {
protected:
    QStringList identifiers(const QString &selector)
    {
        return QVObjC::send<QStringList>(QVObjC::id(viewer_), selector, viewer_->toolbar());
    }
};

TEST_F(Hooks, IdentifierListsGetThePluginItemAppended)
{
    start();
    for (const auto &selector : {u"toolbarDefaultItemIdentifiers:"_s, u"toolbarAllowedItemIdentifiers:"_s})
        EXPECT_EQ(identifiers(selector), (QStringList{u"CheckMail"_s, u"ToggleRead"_s, u"QV_QUORVANE"_s})) << selector;

    // A host whose own list is nil gets a list of the plug-in's item alone.
    QVObjC::Class *viewerClass = QVObjC::NSClassFromString(u"MessageViewer"_s);
    QVObjC::Class *testClass = QVObjC::objc_registerClass(u"HooksTestNilLists"_s, nullptr);
    if (!testClass)
        testClass = QVObjC::NSClassFromString(u"HooksTestNilLists"_s);
    QVObjC::addMethod<QStringList, QVObjC::id>(testClass, u"nil:"_s,
                                               std::function<QStringList(const QVObjC::id &, QVObjC::id)>(
                                                   [](const QVObjC::id &, QVObjC::id) { return QStringList(); }));
    QVObjC::Method *saved = QVObjC::class_getInstanceMethod(viewerClass, u"original_toolbarDefaultItemIdentifiers:"_s);
    QVObjC::Method *nil = QVObjC::class_getInstanceMethod(testClass, u"nil:"_s);
    ASSERT_TRUE(saved && nil);
    QVObjC::method_exchangeImplementations(saved, nil);
    EXPECT_EQ(identifiers(u"toolbarDefaultItemIdentifiers:"_s), QStringList{u"QV_QUORVANE"_s});
    QVObjC::method_exchangeImplementations(saved, nil);
}

TEST_F(Hooks, OtherIdentifiersGiveTheHostsOwnItem)
{
    start();
    const QVObjC::id item =
        QVObjC::send<QVObjC::id>(QVObjC::id(viewer_), u"toolbar:itemForItemIdentifier:willBeInsertedIntoToolbar:"_s,
                                 viewer_->toolbar(), u"CheckMail"_s, true);
    const auto toolbarItem = QVObjC::cast<QVMailHost::ToolbarItem>(item);
    ASSERT_TRUE(toolbarItem);
    EXPECT_EQ(toolbarItem->identifier, u"CheckMail"_s);
    EXPECT_EQ(item->isa()->name(), u"NSToolbarItem"_s);
    EXPECT_FALSE(QVObjC::send<QVObjC::id>(QVObjC::id(viewer_),
                                          u"toolbar:itemForItemIdentifier:willBeInsertedIntoToolbar:"_s,
                                          viewer_->toolbar(), u"Unknown"_s, true));

    const auto block = pluginSegment(0);
    const auto more = pluginSegment(1);
    ASSERT_TRUE(block && more);
    EXPECT_EQ(block->label, u"Block"_s);
    EXPECT_EQ(block->toolTip, u"Quorvane: Block selected messages"_s);
    EXPECT_TRUE(block->imagePath.endsWith(u"/Contents/Resources/QV_Block.svg"_s));
    EXPECT_FALSE(block->enabled);  // nothing selected
    EXPECT_EQ(more->label, u"More"_s);
    EXPECT_EQ(more->action, u"showMoreActions:"_s);
    EXPECT_TRUE(more->imagePath.endsWith(u"QV_MoreOptions.svg"_s));
    QStringList titles;
    for (const auto &entry : more->menu->items)
        titles << (entry->separator ? u"-"_s : entry->title);
    EXPECT_EQ(titles,
              (QStringList{u"Show Settings"_s, u"Show Account"_s, u"-"_s, u"Black List"_s, u"White List"_s, u"-"_s,
                           u"Empty Quorvane Folder"_s}));
}

TEST_F(Hooks, ASecondLoadInstallsNothingTwice)
{
    start();
    QVObjC::sendClass(QVObjC::NSClassFromString(u"QVMessageViewer"_s), u"load"_s);
    EXPECT_EQ(identifiers(u"toolbarDefaultItemIdentifiers:"_s),
              (QStringList{u"CheckMail"_s, u"ToggleRead"_s, u"QV_QUORVANE"_s}));
    viewer_->buildToolbar();
    EXPECT_EQ(viewer_->toolbarItems().size(), 3u);
}

TEST_F(Hooks, EachViewerHasItsOwnHandlerUntilItIsDestroyed)
{
    start();
    const auto second = host_->newViewer();
    const QVObjC::weak_id firstHandler = pluginSegment(0)->target;
    const auto secondItem = std::find_if(second->toolbarItems().begin(), second->toolbarItems().end(),
                                         [](const auto &item) { return item->identifier == u"QV_QUORVANE"_s; });
    ASSERT_NE(secondItem, second->toolbarItems().end());
    const QVObjC::weak_id secondHandler = (*secondItem)->segments[0]->target;
    ASSERT_FALSE(firstHandler.expired());
    ASSERT_FALSE(secondHandler.expired());
    EXPECT_NE(firstHandler.lock(), secondHandler.lock());

    // Building the toolbar again finds the viewer's handler.
    second->buildToolbar();
    const auto rebuilt = std::find_if(second->toolbarItems().begin(), second->toolbarItems().end(),
                                      [](const auto &item) { return item->identifier == u"QV_QUORVANE"_s; });
    EXPECT_EQ((*rebuilt)->segments[0]->target.lock(), secondHandler.lock());

    // The registry owns the handlers; destroying a viewer drops its own.
    host_->closeViewer(second);
    EXPECT_TRUE(second->isClosed());
    EXPECT_TRUE(secondHandler.expired());
    EXPECT_FALSE(firstHandler.expired());
    EXPECT_EQ(host_->viewers().size(), 1u);
}

}  // namespace
