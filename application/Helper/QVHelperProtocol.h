// What the application and its privileged helper say to each other: one
// method call per request on a private peer connection, the request and the
// reply as a{sv}.
#pragma once

#include <cstdint>

namespace QVHelperProtocol {

// The helper's program name, also the name of the job it runs as.
inline constexpr char kHelperLabel[] = "Quorvane-Helper";

inline constexpr char kObjectPath[] = "/org/quorvane/Helper";
inline constexpr char kInterface[] = "org.quorvane.Helper";
inline constexpr char kPerformMethod[] = "Perform";
// The helper's signal that it serves requests on the connection.
inline constexpr char kReadySignal[] = "Ready";

// The helper's one argument: where the application listens for it.
inline constexpr char kAddressOption[] = "--address";

inline constexpr char kActionKey[] = "action";
inline constexpr char kSourcePathKey[] = "sourcePath";
inline constexpr char kLibraryPathKey[] = "libraryPath";
inline constexpr char kUpdatePathKey[] = "updatePath";
inline constexpr char kInstallPathKey[] = "installPath";
inline constexpr char kResultKey[] = "result";

inline constexpr char kActionInstallMailPlugin[] = "ACTION_INSTALL_MAIL_PLUGIN";
inline constexpr char kActionUninstallMailPlugin[] = "ACTION_UNINSTALL_MAIL_PLUGIN";
inline constexpr char kActionInstallUpdate[] = "ACTION_INSTALL_UPDATE";

// The plug-in bundles the application carries in Contents/PlugIns.
inline constexpr char kMailPluginBundleName[] = "Quorvane.mailbundle";
inline constexpr char kMailPluginBundleNameFor109[] = "Quorvane-MailPluginFor109.mailbundle";

// What the helper copies at most in one request: bytes of all files, and
// files and folders.
inline constexpr std::int64_t kMaxCopySize = std::int64_t(512) * 1024 * 1024;
inline constexpr std::int64_t kMaxCopyItems = 100000;

}  // namespace QVHelperProtocol
