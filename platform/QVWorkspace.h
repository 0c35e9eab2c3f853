// Programs found and started the way a Linux desktop finds and starts them:
// a program's bundle identifier names its desktop entry,
// "<identifier>.desktop" in the applications folders of the XDG data folders
// ($XDG_DATA_HOME first, then $XDG_DATA_DIRS).
#pragma once

#include <QFlags>
#include <QString>
#include <QStringList>

namespace QVWorkspace {

enum LaunchOption {
    LaunchDefault = 0,
    // The product's programs start without showing a window when given
    // "--hidden"; other programs do not understand it.
    LaunchAndHide = 0x1,
    // The new program gets no activation token, so it does not take the
    // focus from the program the user is working in.
    LaunchWithoutActivation = 0x2,
};
Q_DECLARE_FLAGS(LaunchOptions, LaunchOption)

// The path of the program's desktop entry; empty when none is installed or
// the first one found is hidden or not an application.
QString URLForApplicationWithBundleIdentifier(const QString &bundleIdentifier);

// The command of the entry's Exec key, unquoted and with its field codes
// expanded for a start without files; empty when the entry has no usable
// Exec key.
QStringList commandForDesktopEntry(const QString &desktopEntryPath);

// Starts the entry's command detached from this process (standard streams on
// /dev/null, working folder the home folder); false when it could not start.
bool launchApplicationAtURL(const QString &desktopEntryPath, LaunchOptions options);
// Starts a program detached the same way.
bool launchProgram(const QString &program, const QStringList &arguments, LaunchOptions options);

// Desktop entry text: one argument quoted for an Exec key, and the value
// escapes of any string key.
QString quotedExecArgument(const QString &argument);
QString escapedValue(const QString &value);
// Splits an Exec value (already unescaped) into its arguments; an empty
// list and *ok false when a quote is left open.
QStringList splitExecValue(const QString &exec, bool *ok = nullptr);

}  // namespace QVWorkspace

Q_DECLARE_OPERATORS_FOR_FLAGS(QVWorkspace::LaunchOptions)
