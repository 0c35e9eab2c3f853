// Running programs of the product, by bundle identifier: a program runs while
// its bundle identifier is owned as a name on the session bus.
#pragma once

#include <QString>

namespace QVRunningApplications {

inline constexpr char kApplicationBundleIdentifier[] = "org.quorvane.Quorvane";
inline constexpr char kLaunchAgentBundleIdentifier[] = "org.quorvane.QVLaunchAgent";
inline constexpr char kMailHostBundleIdentifier[] = "org.quorvane.MailHost";

// Whether some process owns the name now.
bool isRunning(const QString &bundleIdentifier);

// Claims the name for this process; false when another process owns it or
// the bus is not reachable. The name is released when the process ends.
bool claimBundleIdentifier(const QString &bundleIdentifier);
// Lets go of the name without waiting for the bus's reply (which may sit
// behind a backlog of requests); later calls of this process see it gone.
void releaseBundleIdentifier(const QString &bundleIdentifier);

}  // namespace QVRunningApplications
