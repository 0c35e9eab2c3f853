// The host's message viewer and its toolbar items. A viewer's toolbar is
// built through the runtime (toolbarDefaultItemIdentifiers:, then
// toolbar:itemForItemIdentifier:willBeInsertedIntoToolbar: per item), so
// items that bundles add appear like the host's own.
#pragma once

#include "MailHost.h"
#include "QVMenu.h"

namespace QVMailHost {

// One clickable part of a toolbar item: a plain item has one, a segmented
// item several. Validation and actions talk to segments.
class ToolbarSegment final : public QVObjC::Object {
public:
    using Object::Object;

    QString label, toolTip, imagePath;
    qint64 tag = 0;
    QVObjC::SEL action;
    QVObjC::weak_id target;
    QVObjC::MenuRef menu;
    bool enabled = true;

    QVObjC::SEL actionName() const { return action; }
    void setLabel(QString text) { label = std::move(text); }
    void setToolTip(QString text) { toolTip = std::move(text); }
    void setImage(QString path) { imagePath = std::move(path); }
    qint64 tagValue() const { return tag; }

    // Asks the target to validate this segment (when it can); updates enabled.
    void validate();
    // Sends the action to the target with `sender` as argument.
    void perform(const QVObjC::id &sender);
};

class ToolbarItem : public QVObjC::Object {
public:
    ToolbarItem(QVObjC::Class *isa) : Object(isa) {}

    QString identifier;
    std::vector<std::shared_ptr<ToolbarSegment>> segments;

    QVObjC::id initWithItemIdentifier(QString identifier);
    void setSegmentCount(qint64 count);
    void setLabel(QString label, qint64 segment);
    void setToolTip(QString toolTip, qint64 segment);
    void setImage(QString imagePath, qint64 segment);
    void setTag(qint64 tag, qint64 segment);
    void setAction(QVObjC::SEL action, qint64 segment);
    void setTarget(QVObjC::id target, qint64 segment);
    void setMenu(QVObjC::MenuRef menu, qint64 segment);

private:
    ToolbarSegment *segment(qint64 index) const;
};

class MessageViewer final : public QVObjC::Object {
public:
    explicit MessageViewer(QVObjC::Class *isa);

    // The host's own toolbar behaviour (the hooks start from these).
    QStringList toolbarAllowedItemIdentifiers(QVObjC::id toolbar);
    QStringList toolbarDefaultItemIdentifiers(QVObjC::id toolbar);
    QVObjC::id toolbarItem(QVObjC::id toolbar, QString identifier, bool willBeInserted);
    void dealloc();

    QVObjC::ObjectList selectedMessages() const;
    QVObjC::id selectedMailbox() const { return selectedMailbox_.lock(); }
    bool transferMessages(QVObjC::ObjectList messages, QVObjC::id mailbox, bool deleteOriginals, bool allowUndo,
                          bool isDeleteOperation, bool isArchiveOperation);

    // The host's actions.
    void checkMail(QVObjC::id sender);
    void toggleRead(QVObjC::id sender);
    bool validateToolbarItem(QVObjC::id item);

    // Builds the toolbar through the runtime.
    void buildToolbar();
    const std::vector<std::shared_ptr<ToolbarItem>> &toolbarItems() const { return items_; }
    QVObjC::id toolbar() const { return toolbar_; }
    void validateToolbar();

    void setSelection(const std::shared_ptr<MFMailbox> &mailbox, const QVObjC::ObjectList &messages);
    bool isClosed() const { return closed_; }

    // Called when the selection or the toolbar changes (the window listens).
    std::function<void()> changed;

private:
    QVObjC::id toolbar_;
    std::vector<std::shared_ptr<ToolbarItem>> items_;
    std::weak_ptr<MFMailbox> selectedMailbox_;
    std::vector<std::weak_ptr<MFMessage>> selectedMessages_;
    bool closed_ = false;
};

// Registers the host's classes with the runtime (once per process).
void registerHostClasses();

}  // namespace QVMailHost
