#include "fakes.h"

#include "QVMailPlugin.h"

#include <gtest/gtest.h>

namespace {

TEST(MailPlugin, VersionsCompareAsVersionNumbers)
{
    struct Case {
        const char *a, *b;
        int sign;
    };
    const Case cases[] = {
        {"12", "9", 1},  {"9", "12", -1},   {"1.10", "1.9", 1}, {"1.9", "1.10", -1},
        {"2", "2.0", 0}, {"2.0.1", "2", 1}, {"", "", 0},        {"", "1", -1},
        {"abc", "0", 0}, {"3beta", "3", 0}, {" 4 ", "4", 0},    {"1.2.3", "1.2.3", 0},
    };
    for (const Case &c : cases) {
        const int result = QVMailPlugin::compareVersions(QString::fromLatin1(c.a), QString::fromLatin1(c.b));
        EXPECT_EQ((result > 0) - (result < 0), c.sign) << c.a << " vs " << c.b;
    }
}

TEST(MailPlugin, InstalledIsFoundInBundlesThenInDisabledBundles)
{
    FakePluginLocation location;
    const QString library = location.libraryPath();
    EXPECT_EQ(QVMailPlugin::installedPluginPath(library), QString());
    EXPECT_EQ(QVMailPlugin::installedPluginPath(QString()), QString());

    location.install(QStringLiteral("7"), QStringLiteral("Bundles (Disabled)"));
    const QString disabled = library + QStringLiteral("/Mail/Bundles (Disabled)/Quorvane.mailbundle");
    EXPECT_EQ(QVMailPlugin::installedPluginPath(library), disabled);
    EXPECT_EQ(QVMailPlugin::bundleVersion(disabled), QStringLiteral("7"));

    // An empty Bundles folder does not hide the disabled one.
    QDir().mkpath(library + QStringLiteral("/Mail/Bundles"));
    EXPECT_EQ(QVMailPlugin::installedPluginPath(library), disabled);

    location.install(QStringLiteral("8"));
    const QString enabled = library + QStringLiteral("/Mail/Bundles/Quorvane.mailbundle");
    EXPECT_EQ(QVMailPlugin::installedPluginPath(library), enabled);
    EXPECT_EQ(QVMailPlugin::bundleVersion(enabled), QStringLiteral("8"));
    EXPECT_EQ(QVMailPlugin::bundleVersion(library + QStringLiteral("/missing.mailbundle")), QString());
}

}  // namespace
