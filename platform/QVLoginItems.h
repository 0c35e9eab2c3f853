// Login items as XDG autostart entries: a login item is a program bundle
// (<name>.app/Contents/Info.plist naming CFBundleIdentifier and
// CFBundleExecutable, the program in Contents/MacOS) that the desktop starts
// at login through $XDG_CONFIG_HOME/autostart/<identifier>.desktop.
#pragma once

#include <QString>

#include <optional>

namespace QVLoginItems {

struct Bundle {
    QString path;
    QString identifier;
    QString executablePath;
};

// Reads the bundle at path; nullopt when it is no bundle of a program that
// can be run.
std::optional<Bundle> registerBundle(const QString &bundlePath);

// Enabling writes the autostart entry (atomically) and starts the item now
// unless its identifier is owned on the session bus; disabling removes the
// entry. False when the entry could not be written or removed.
bool setEnabled(const Bundle &bundle, bool enabled);

// $XDG_CONFIG_HOME/autostart/<identifier>.desktop
QString autostartEntryPath(const QString &identifier);

}  // namespace QVLoginItems
