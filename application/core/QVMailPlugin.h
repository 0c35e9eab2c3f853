// Where the mail plug-in lies: the bundle the application carries in its
// PlugIns folder, and the installed one in the mail host's "Bundles" or
// "Bundles (Disabled)" folder of the user's Library folder. Everything is
// read from disk on each call.
#pragma once

#include <QString>
#include <QStringList>

namespace QVMailPlugin {

// "Quorvane.mailbundle": the one mail host here loads this name.
QString pluginBundleName();

// The user's Library folder: $XDG_DATA_HOME/Library (not created).
QString userLibraryPath();
// <library>/Mail/Bundles, then <library>/Mail/Bundles (Disabled).
QStringList pluginFolders(const QString &libraryPath);

// The installed bundle, searched in the order of pluginFolders; empty when
// none is there.
QString installedPluginPath(const QString &libraryPath);
// The bundle inside the application: Contents/PlugIns/<bundle name>.
QString bundledPluginPath();

// "CFBundleVersion" of the bundle's Contents/Info.plist, empty when missing.
QString bundleVersion(const QString &bundlePath);

// Versions compared as version numbers ("1.10" is above "1.9", "2" equals
// "2.0"); a version that does not begin with a number counts as 0.
// Negative, zero or positive as a is below, equal to or above b.
int compareVersions(const QString &a, const QString &b);

}  // namespace QVMailPlugin
