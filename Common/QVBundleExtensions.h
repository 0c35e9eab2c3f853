// The product's name and its folder for user data, shared by the
// application and the plug-in.
#pragma once

#include <QString>

namespace QVNSBundleExtensions {

// "Quorvane": the name the application and the plug-in are shipped under.
QString productName();

// <user data location>/<productName()>, created when missing (a failure is
// ignored: the path is returned either way).
QString applicationSupportDirectory();

}  // namespace QVNSBundleExtensions
