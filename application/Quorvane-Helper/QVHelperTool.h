// The privileged helper's work: copying the Mail plug-in into the user's
// Bundles folder, removing it, and replacing the installed application with
// an update. Runs as root; everything it is given comes from an unprivileged
// caller, so every path is checked and no symbolic link is followed.
#pragma once

#include <QString>
#include <QVariantMap>

#include <sys/types.h>

class QVHelperTool final {
public:
    // `bundlePath` is the installed application (the one the helper came
    // with); files written for the user belong to `user`/`group`.
    QVHelperTool(QString bundlePath, uid_t user, gid_t group);

    // Answers every request with "result", true only when the action fully
    // completed.
    QVariantMap perform(const QVariantMap &request);

    bool installMailPlugin(const QString &sourcePath, const QString &libraryPath);
    bool uninstallMailPlugin(const QString &sourcePath, const QString &libraryPath);
    bool installUpdate(const QString &updatePath, const QString &installPath);

private:
    // The plug-in's bundle name when `sourcePath` is one of the plug-ins of
    // the installed application; empty otherwise.
    QString pluginName(const QString &sourcePath) const;
    // An open descriptor of the user's <libraryPath>/Mail/<folder>, created
    // for the user when missing; -1 when anything on the way is not the
    // user's own folder.
    int openUserFolder(const QString &libraryPath, const char *folder, bool create) const;

    QString bundlePath_;
    uid_t user_;
    gid_t group_;
};
