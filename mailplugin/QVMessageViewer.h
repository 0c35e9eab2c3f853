// Carries the plug-in's replacements for four methods of the host's
// MessageViewer and the registry of action handlers, one per viewer. Never
// instantiated.
#pragma once

#include "QVObjectRuntime.h"

#include <memory>
#include <vector>

class QVMessageActionHandler;

class QVMessageViewer final {
public:
    QVMessageViewer() = delete;

    // The load stage: exchanges the four methods once; a second load finds
    // the saved originals in place and changes nothing.
    static void load();

    static const std::vector<std::shared_ptr<QVMessageActionHandler>> &handlers();
    static std::shared_ptr<QVMessageActionHandler> addHandleForViewer(const QVObjC::id &viewer);
    static std::shared_ptr<QVMessageActionHandler> handleForViewer(const QVObjC::id &viewer);
    static void removeHandleForViewer(const QVObjC::id &viewer);

    static void registerClass();

    // The replacements, run with a host viewer as self.
    static QVObjC::id toolbarItem(const QVObjC::id &self, QVObjC::id toolbar, QString identifier, bool willBeInserted);
    static QStringList toolbarAllowedItemIdentifiers(const QVObjC::id &self, QVObjC::id toolbar);
    static QStringList toolbarDefaultItemIdentifiers(const QVObjC::id &self, QVObjC::id toolbar);
    static void dealloc(const QVObjC::id &self);
};

inline constexpr char kQVToolbarItemIdentifier[] = "QV_QUORVANE";
