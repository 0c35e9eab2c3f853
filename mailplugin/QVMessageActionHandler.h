// One per message viewer: the target of the plug-in's toolbar item and its
// menu. It turns the viewer's selection into requests to the application;
// the moves follow when the application answers.
#pragma once

#include "QVObjectRuntime.h"
#include "QVPendingAnswers.h"

class QVMessageActionHandler final : public QVObjC::Object {
public:
    // A runtime object of class "QVMessageActionHandler"; makes sure the
    // shared QVMailHandler exists.
    static std::shared_ptr<QVMessageActionHandler> create();
    explicit QVMessageActionHandler(QVObjC::Class *isa);

    // The viewer is not kept alive by its handler.
    QVObjC::id messageViewer() const { return messageViewer_.lock(); }
    void setMessageViewer(const QVObjC::id &viewer) { messageViewer_ = viewer; }

    // The toolbar item "QV_QUORVANE" with its two segments and menu.
    QVObjC::id toolbarItem(const QString &identifier);

    // Selected messages that have a received date, in the viewer's order.
    QVObjC::ObjectList selectedMessages() const;
    QVObjC::ObjectList selectedInboxMessages() const;
    QVObjC::ObjectList selectedMessagesInQuorvaneFolder() const;
    bool isBlockShouldBeEnabled() const;
    bool isUnblockShouldBeEnabled() const;
    QVObjC::id firstSelectedMailbox() const;

    // Actions (the sender is not read).
    void toggleBlock(QVObjC::id sender);
    void blockSelectedMessages();
    void unblockSelectedMessages();
    void addAddressToBlackList(QVObjC::id sender);
    void addDomainToBlackList(QVObjC::id sender);
    void addAddressToWhiteList(QVObjC::id sender);
    void addDomainToWhiteList(QVObjC::id sender);
    void addAddressToBlackListFromSelectedMessages();
    void addDomainToBlackListFromSelectedMessages();
    void addAddressToWhiteListFromSelectedMessages();
    void addDomainToWhiteListFromSelectedMessages();
    void showSettings(QVObjC::id sender);
    void showAccount(QVObjC::id sender);
    void removeAllSpamMessages(QVObjC::id sender);
    void showMoreActions(QVObjC::id sender);

    bool validateToolbarItem(QVObjC::id item);
    bool validateMenuItem(QVObjC::MenuItemRef item);

    // Registers the runtime class (when the bundle loads).
    static void registerClass();

private:
    enum class ListEntry { Address, Domain };
    void postMessages(const QVObjC::ObjectList &messages, qsizetype bodyLimit, const QString &logFormat,
                      const char *notification, QVPendingAnswers::Kind kind);
    void postListRequests(const char *notification, ListEntry entry);
    void postPageRequest(const char *notification);

    QVObjC::weak_id messageViewer_;
};
