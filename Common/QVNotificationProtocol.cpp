#include "QVNotificationProtocol.h"

extern "C" {

const char *const kVQMailListDidChange = "VQMailListDidChange";

const char *const kQVUserInfoMessageKey = "Message";
const char *const kQVUserInfoMessageIDKey = "MessageID";
const char *const kQVUserInfoAddressKey = "Address";
const char *const kQVUserInfoDomainKey = "Domain";

const char *const kQVPluginDidReceiveNewMessageNotification = "QV_ADD_MESSAGE";
const char *const kQVPluginBlockMessageNotification = "QV_BLOCK_MESSAGE";
const char *const kQVPluginUnblockMessageNotification = "QV_UNBLOCK_MESSAGE";
const char *const kQVPluginAddAddressToBlackListNotification = "QV_ADD_ADDRESS_TO_BLACKLIST";
const char *const kQVPluginAddDomainToBlackListNotification = "QV_ADD_DOMAIN_TO_BLACKLIST";
const char *const kQVPluginAddAddressToWhiteListNotification = "QV_ADD_ADDRESS_TO_WHITELIST";
const char *const kQVPluginAddDomainToWhiteListNotification = "QV_ADD_DOMAIN_TO_WHITELIST";
const char *const kQVPluginSwitchToSettingsPageNotification = "QV_SWITCH_TO_SETTINGS_PAGE";
const char *const kQVPluginSwitchToAccountPageNotification = "QV_SWITCH_TO_ACCOUNT_PAGE";

const char *const kQVClientDidDetermineSpamNotification = "QV_DETERMINED_SPAM";
const char *const kQVClientDidBlockLetterNotification = "QV_BLOCK_LETTER";
const char *const kQVClientDidUnblockLetterNotification = "QV_BLOCK_UNBLOCK";
const char *const kQVClientDidDropMessageNotification = "QV_DROPPED_MESSAGE";

const char *const kQVPluginNeedsToLaunchClientNotification = "QV_NEEDS_TO_LAUNCH_CLIENT";

}  // extern "C"
