// Installs and removes the mail plug-in through the privileged helper and
// says how it went. The helper runs as root and refuses a Library folder
// that is missing or not the user's, so the folders it copies into are made
// here first, as the user.
#pragma once

#include "QVMainWindowServices.h"

#include <QObject>
#include <QString>

class QVMailPluginInstaller final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QVMailPluginInstaller)

public:
    struct Outcome {
        bool done = false;
        // What to tell the user; a failure's informative text says why.
        QVAlert alert;
    };

    explicit QVMailPluginInstaller(QVMainWindowServices services, QObject *parent = nullptr);
    ~QVMailPluginInstaller() override;

    // Read from disk on every call.
    bool isInstalled() const;
    QString installedVersion() const;
    QString bundledVersion() const;

    // Always asks the helper, also over an installed plug-in, unless the
    // application carries no plug-in or the folders cannot be prepared.
    Outcome install();
    // Asks the helper even when nothing is installed.
    Outcome remove();

    // The Library folder and <Library>/Mail/Bundles, made as the user when
    // missing; false with the reason when the helper would refuse them.
    static bool prepareLibraryFolder(const QString &libraryPath, QString *reason);

signals:
    // After the helper carried out an install or removal.
    void installedChanged(bool installed);

private:
    QString failureReason(QVMailPluginHelper::Answer answer) const;
    void didChange();

    QVMainWindowServices services_;
};
