// The names and user-info keys of the notifications that pass between the
// mail plug-in, the application and the launch agent. One table for all
// three programs; the plug-in exports it under these names.
#pragma once

#include <cstddef>

#define QV_PROTOCOL_EXPORT __attribute__((visibility("default")))

extern "C" {

// The lists' local change notification; not part of the protocol.
QV_PROTOCOL_EXPORT extern const char *const kVQMailListDidChange;

// User-info keys.
QV_PROTOCOL_EXPORT extern const char *const kQVUserInfoMessageKey;  // "Message": bytes
QV_PROTOCOL_EXPORT extern const char *const kQVUserInfoMessageIDKey;  // "MessageID": text
QV_PROTOCOL_EXPORT extern const char *const kQVUserInfoAddressKey;  // "Address": text
QV_PROTOCOL_EXPORT extern const char *const kQVUserInfoDomainKey;  // "Domain": text

// Plug-in to application.
QV_PROTOCOL_EXPORT extern const char *const kQVPluginDidReceiveNewMessageNotification;
QV_PROTOCOL_EXPORT extern const char *const kQVPluginBlockMessageNotification;
QV_PROTOCOL_EXPORT extern const char *const kQVPluginUnblockMessageNotification;
QV_PROTOCOL_EXPORT extern const char *const kQVPluginAddAddressToBlackListNotification;
QV_PROTOCOL_EXPORT extern const char *const kQVPluginAddDomainToBlackListNotification;
QV_PROTOCOL_EXPORT extern const char *const kQVPluginAddAddressToWhiteListNotification;
QV_PROTOCOL_EXPORT extern const char *const kQVPluginAddDomainToWhiteListNotification;
QV_PROTOCOL_EXPORT extern const char *const kQVPluginSwitchToSettingsPageNotification;
QV_PROTOCOL_EXPORT extern const char *const kQVPluginSwitchToAccountPageNotification;

// Application to plug-in.
QV_PROTOCOL_EXPORT extern const char *const kQVClientDidDetermineSpamNotification;
QV_PROTOCOL_EXPORT extern const char *const kQVClientDidBlockLetterNotification;
QV_PROTOCOL_EXPORT extern const char *const kQVClientDidUnblockLetterNotification;
// A QV_ADD_MESSAGE that the application could not take (its queue was
// full), with {"MessageID"}: the plug-in posts the message again later.
QV_PROTOCOL_EXPORT extern const char *const kQVClientDidDropMessageNotification;

// Plug-in to launch agent.
QV_PROTOCOL_EXPORT extern const char *const kQVPluginNeedsToLaunchClientNotification;

}  // extern "C"

// Body bytes that follow the header in "Message".
inline constexpr std::size_t kQVMessageBodyLimit = 100'000;  // add and block
inline constexpr std::size_t kQVUnblockMessageBodyLimit = 1'000'000;  // unblock
