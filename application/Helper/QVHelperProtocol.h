// What the application and its privileged helper say to each other over
// their channel (QVHelperChannel): the helper's first message says it is
// ready, then each request is answered by one reply.
#pragma once

#include <cstdint>

namespace QVHelperProtocol {

// The helper's program name, also the name of the job it runs as.
inline constexpr char kHelperLabel[] = "Quorvane-Helper";

// The helper's first message: {"ready": true}.
inline constexpr char kReadyKey[] = "ready";

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
