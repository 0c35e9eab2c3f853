// The bundle's principal class: registers the bundle with the host and
// releases the shared mail handler when the host terminates.
#pragma once

class QVQuorvanePluginMailCore final {
public:
    QVQuorvanePluginMailCore() = delete;

    static void initialize();
    static void registerBundle();
    static void applicationWillTerminate();
    static bool hasPreferencesPanel() { return false; }

    static void registerClass();
};
