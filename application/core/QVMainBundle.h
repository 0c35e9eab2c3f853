// The application bundle the program runs from:
//   Quorvane.app/Contents/Info.plist
//   Quorvane.app/Contents/MacOS/<program, libqvcg.so, libqvse.so>
//   Quorvane.app/Contents/Library/LoginItems, .../LaunchServices
//   Quorvane.app/Contents/PlugIns, Resources
#pragma once

#include <QString>
#include <QVariant>
#include <QVariantMap>

namespace QVMainBundle {

// The folder of the running program; the engine is loaded from it.
QString executableFolder();
// Quorvane.app: two levels above the program's folder.
QString bundlePath();
QString contentsPath();
// Contents/Info.plist, read anew on each call; empty when unreadable.
QVariantMap infoDictionary();
// A value of the Info.plist as text; empty when missing or not text.
QString infoString(const QString &key);

// Tests point the bundle elsewhere; empty returns to the program's own.
void setBundlePathForTesting(const QString &bundlePath);

}  // namespace QVMainBundle
