#pragma once

#include "wait_for.h"

#include "QVMainWindowServices.h"
#include "QVStatusBar.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <vector>

struct FakeHelper final : QVMailPluginHelper {
    struct Request {
        QString action, sourcePath, libraryPath;
    };
    Answer performActionOnHelperTool(const QString &action, const QString &sourcePath,
                                     const QString &libraryPath) override
    {
        requests.push_back({action, sourcePath, libraryPath});
        return answer;
    }
    Answer answer = Answer::Done;
    std::vector<Request> requests;
};

struct FakeAlerts final : QVAlertPresenter {
    int runModal(const QVAlert &alert) override
    {
        modals.push_back(alert);
        return modalAnswer;
    }
    void beginSheet(const QVAlert &alert, QWidget *window) override
    {
        sheets.push_back(alert);
        sheetWindows.push_back(window);
    }
    int modalAnswer = kDefaultReturn;
    std::vector<QVAlert> modals, sheets;
    std::vector<QWidget *> sheetWindows;
};

// A Library folder and an application's PlugIns folder in a temporary folder.
struct FakePluginLocation final : QVMailPluginLocation {
    FakePluginLocation() { QDir().mkpath(folder.filePath(QStringLiteral("app/PlugIns"))); }
    QString libraryPath() const override { return folder.filePath(QStringLiteral("Library")); }
    QString bundledPluginPath() const override
    {
        return folder.filePath(QStringLiteral("app/PlugIns/Quorvane.mailbundle"));
    }

    static void makeBundle(const QString &path, const QString &version)
    {
        QDir().mkpath(path + QStringLiteral("/Contents"));
        QFile info(path + QStringLiteral("/Contents/Info.plist"));
        info.open(QIODevice::WriteOnly);
        info.write(QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                  "<key>CFBundleVersion</key><string>%1</string></dict></plist>\n")
                       .arg(version)
                       .toUtf8());
    }
    void install(const QString &version, const QString &folderName = QStringLiteral("Bundles")) const
    {
        makeBundle(libraryPath() + QStringLiteral("/Mail/") + folderName + QStringLiteral("/Quorvane.mailbundle"),
                   version);
    }
    void carry(const QString &version) const { makeBundle(bundledPluginPath(), version); }

    QTemporaryDir folder;
};

struct FakeStatusBar final : QVStatusBar {
    struct Item final : QVStatusItem {
        explicit Item(int &live) : live_(live) { ++live_; }
        ~Item() override { --live_; }
        void setImage(const QIcon &) override {}
        void setMenu(QMenu *menu) override { this->menu = menu; }
        void setActivationHandler(std::function<void()> handler) override { activate = std::move(handler); }
        QMenu *menu = nullptr;
        std::function<void()> activate;
        int &live_;
    };

    bool isAvailable() const override { return available; }
    std::unique_ptr<QVStatusItem> statusItem() override
    {
        ++created;
        return std::make_unique<Item>(live);
    }

    bool available = true;
    int live = 0;
    int created = 0;
};
