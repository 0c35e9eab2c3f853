#include "QVHelperProtocol.h"
#include "QVHelperTool.h"
#include "bundle_tree.hpp"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <functional>

#include <sys/stat.h>
#include <unistd.h>

using namespace helper_test;

namespace {

QVHelperTool toolFor(const Trees &trees)
{
    return QVHelperTool(trees.bundle, getuid(), getgid());
}

bool linkTo(const QString &target, const QString &link)
{
    return QFile::link(target, link);
}

TEST(HelperTool, InstallsThePluginForTheUserAndReplacesAnOldCopy)
{
    Trees trees;
    auto tool = toolFor(trees);
    writeFile(trees.installed() + QStringLiteral("/Contents/stale"), "old");
    ASSERT_TRUE(tool.installMailPlugin(trees.plugin, trees.library));
    EXPECT_EQ(readFile(trees.installed() + QStringLiteral("/Contents/MacOS/Quorvane")), "plug-in Quorvane.mailbundle");
    EXPECT_FALSE(QFile::exists(trees.installed() + QStringLiteral("/Contents/stale")));
    // Nothing of the staging is left beside it.
    EXPECT_EQ(QDir(trees.library + QStringLiteral("/Mail/Bundles"))
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("Quorvane.mailbundle")});

    const QString newer = trees.bundle + QStringLiteral("/Contents/PlugIns/Quorvane-MailPluginFor109.mailbundle");
    ASSERT_TRUE(tool.installMailPlugin(newer, trees.library));
    EXPECT_TRUE(
        QFileInfo(trees.library + QStringLiteral("/Mail/Bundles/Quorvane-MailPluginFor109.mailbundle")).isDir());
}

TEST(HelperTool, RefusesPluginSourcesAndFoldersItMustNotTouch)
{
    struct Case {
        const char *name;
        std::function<bool(Trees &, QString *source, QString *library)> arrange;
    };
    const std::vector<Case> cases = {
        {"a copy outside the application",
         [](Trees &t, QString *source, QString *) {
             *source = makeApplication(t.base() + QStringLiteral("/elsewhere"), QStringLiteral("x"), "x")
                 + QStringLiteral("/Contents/PlugIns/Quorvane.mailbundle");
             return true;
         }},
        {"a path with ..",
         [](Trees &t, QString *source, QString *) {
             *source = t.bundle + QStringLiteral("/Contents/MacOS/../PlugIns/Quorvane.mailbundle");
             return true;
         }},
        {"another bundle inside the application",
         [](Trees &t, QString *source, QString *) {
             writeFile(t.bundle + QStringLiteral("/Contents/PlugIns/Other.mailbundle/x"), "x");
             *source = t.bundle + QStringLiteral("/Contents/PlugIns/Other.mailbundle");
             return true;
         }},
        {"the plug-in through a link",
         [](Trees &t, QString *source, QString *) {
             *source = t.base() + QStringLiteral("/link.mailbundle");
             return linkTo(t.plugin, *source);
         }},
        {"a relative library",
         [](Trees &, QString *, QString *library) {
             *library = QStringLiteral("home/Library");
             return true;
         }},
        {"a library through a link",
         [](Trees &t, QString *, QString *library) {
             *library = t.base() + QStringLiteral("/linked-library");
             return linkTo(t.library, *library);
         }},
        {"Mail as a link to another folder",
         [](Trees &t, QString *, QString *) {
             QDir().mkpath(t.base() + QStringLiteral("/victim"));
             return linkTo(t.base() + QStringLiteral("/victim"), t.library + QStringLiteral("/Mail"));
         }},
        {"Bundles as a link to another folder",
         [](Trees &t, QString *, QString *) {
             QDir().mkpath(t.base() + QStringLiteral("/victim"));
             QDir().mkpath(t.library + QStringLiteral("/Mail"));
             return linkTo(t.base() + QStringLiteral("/victim"), t.library + QStringLiteral("/Mail/Bundles"));
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Trees trees;
        QString source = trees.plugin;
        QString library = trees.library;
        ASSERT_TRUE(c.arrange(trees, &source, &library));
        auto tool = toolFor(trees);
        EXPECT_FALSE(tool.installMailPlugin(source, library));
        EXPECT_FALSE(QFile::exists(trees.installed()));
        EXPECT_TRUE(!QFileInfo::exists(trees.base() + QStringLiteral("/victim"))
                    || QDir(trees.base() + QStringLiteral("/victim")).isEmpty());
    }
}

TEST(HelperTool, RefusesAPluginHoldingALink)
{
    Trees trees;
    auto tool = toolFor(trees);
    ASSERT_TRUE(linkTo(QStringLiteral("/etc"), trees.plugin + QStringLiteral("/Contents/Resources")));
    EXPECT_FALSE(tool.installMailPlugin(trees.plugin, trees.library));
    EXPECT_FALSE(QFileInfo::exists(trees.installed()));
    EXPECT_EQ(QDir(trees.library + QStringLiteral("/Mail/Bundles"))
                  .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList());
}

TEST(HelperTool, RefusesALibraryOfAnotherUser)
{
    Trees trees;
    QVHelperTool tool(trees.bundle, getuid() + 1, getgid());
    EXPECT_FALSE(tool.installMailPlugin(trees.plugin, trees.library));
    EXPECT_FALSE(QFile::exists(trees.installed()));
}

TEST(HelperTool, RemovesThePluginFromBothBundleFolders)
{
    Trees trees;
    auto tool = toolFor(trees);
    writeFile(trees.installed() + QStringLiteral("/Contents/x"), "x");
    writeFile(trees.installed(QStringLiteral("Bundles (Disabled)")) + QStringLiteral("/Contents/x"), "x");
    writeFile(trees.library + QStringLiteral("/Mail/Bundles/Other.mailbundle/x"), "kept");
    ASSERT_TRUE(tool.uninstallMailPlugin(trees.plugin, trees.library));
    EXPECT_FALSE(QFileInfo::exists(trees.installed()));
    EXPECT_FALSE(QFileInfo::exists(trees.installed(QStringLiteral("Bundles (Disabled)"))));
    EXPECT_EQ(readFile(trees.library + QStringLiteral("/Mail/Bundles/Other.mailbundle/x")), "kept");
    // Nothing left to remove is done too.
    EXPECT_TRUE(tool.uninstallMailPlugin(trees.plugin, trees.library));
}

TEST(HelperTool, RemovalFollowsNoLink)
{
    Trees trees;
    auto tool = toolFor(trees);
    const QString victim = trees.base() + QStringLiteral("/victim");
    writeFile(victim + QStringLiteral("/Quorvane.mailbundle/keep"), "keep");
    QDir().mkpath(trees.library + QStringLiteral("/Mail"));
    ASSERT_TRUE(linkTo(victim, trees.library + QStringLiteral("/Mail/Bundles (Disabled)")));
    EXPECT_FALSE(tool.uninstallMailPlugin(trees.plugin, trees.library));
    EXPECT_EQ(readFile(victim + QStringLiteral("/Quorvane.mailbundle/keep")), "keep");
}

TEST(HelperTool, InstallsAnUpdateOfTheSameApplicationInPlace)
{
    Trees trees;
    auto tool = toolFor(trees);
    const QString update = makeApplication(trees.base() + QStringLiteral("/download"),
                                           QStringLiteral("org.quorvane.Quorvane"), "new program");
    ::chmod(QFile::encodeName(update + QStringLiteral("/Contents/MacOS/Quorvane")).constData(), 04777);
    ASSERT_TRUE(tool.installUpdate(update, trees.bundle));
    EXPECT_EQ(readFile(trees.bundle + QStringLiteral("/Contents/MacOS/Quorvane")), "new program");
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(trees.bundle + QStringLiteral("/Contents/MacOS/Quorvane")).constData(), &status),
              0);
    EXPECT_EQ(status.st_mode & 07777, 0755u) << "no set-user-ID and no writing by others";
    EXPECT_EQ(QDir(trees.base()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
              (QStringList{QStringLiteral("Quorvane.app"), QStringLiteral("download"), QStringLiteral("home")}));
}

TEST(HelperTool, RefusesUpdatesThatAreNotThisApplication)
{
    struct Case {
        const char *name;
        std::function<QString(Trees &)> update;
        std::function<QString(Trees &)> installPath;
    };
    const auto same = [](Trees &t) { return t.bundle; };
    const std::vector<Case> cases = {
        {"another identifier",
         [](Trees &t) {
             return makeApplication(t.base() + QStringLiteral("/d"), QStringLiteral("org.example.Other"), "x");
         },
         same},
        {"no program folder",
         [](Trees &t) {
             const QString u =
                 makeApplication(t.base() + QStringLiteral("/d"), QStringLiteral("org.quorvane.Quorvane"), "x");
             QDir(u + QStringLiteral("/Contents/MacOS")).removeRecursively();
             return u;
         },
         same},
        {"an update through a link",
         [](Trees &t) {
             const QString u =
                 makeApplication(t.base() + QStringLiteral("/d"), QStringLiteral("org.quorvane.Quorvane"), "x");
             QFile::link(u, t.base() + QStringLiteral("/link.app"));
             return t.base() + QStringLiteral("/link.app");
         },
         same},
        {"another install path",
         [](Trees &t) {
             return makeApplication(t.base() + QStringLiteral("/d"), QStringLiteral("org.quorvane.Quorvane"), "x");
         },
         [](Trees &t) {
             return makeApplication(t.base() + QStringLiteral("/other"), QStringLiteral("org.quorvane.Quorvane"), "o");
         }},
        {"a missing update", [](Trees &t) { return t.base() + QStringLiteral("/missing.app"); }, same},
        {"a link inside the update",
         [](Trees &t) {
             const QString u =
                 makeApplication(t.base() + QStringLiteral("/d"), QStringLiteral("org.quorvane.Quorvane"), "x");
             QFile::link(QStringLiteral("/etc/shadow"), u + QStringLiteral("/Contents/MacOS/data"));
             return u;
         },
         same},
        {"a link to a folder inside the update",
         [](Trees &t) {
             const QString u =
                 makeApplication(t.base() + QStringLiteral("/d"), QStringLiteral("org.quorvane.Quorvane"), "x");
             QFile::link(QStringLiteral("/root"), u + QStringLiteral("/Contents/Resources"));
             return u;
         },
         same},
        {"a named pipe inside the update",
         [](Trees &t) {
             const QString u =
                 makeApplication(t.base() + QStringLiteral("/d"), QStringLiteral("org.quorvane.Quorvane"), "x");
             ::mkfifo(QFile::encodeName(u + QStringLiteral("/Contents/pipe")).constData(), 0600);
             return u;
         },
         same},
        {"more than the helper copies",
         [](Trees &t) {
             const QString u =
                 makeApplication(t.base() + QStringLiteral("/d"), QStringLiteral("org.quorvane.Quorvane"), "x");
             // Sparse: its size counts, not the disk it takes.
             QFile big(u + QStringLiteral("/Contents/Resources.bin"));
             if (big.open(QIODevice::WriteOnly))
                 big.resize(QVHelperProtocol::kMaxCopySize + 1);
             return u;
         },
         same},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Trees trees;
        auto tool = toolFor(trees);
        const QString update = c.update(trees);
        EXPECT_FALSE(tool.installUpdate(update, c.installPath(trees)));
        EXPECT_EQ(readFile(trees.bundle + QStringLiteral("/Contents/MacOS/Quorvane")), "old program");
        const QStringList hidden = QDir(trees.base()).entryList(QDir::Hidden | QDir::AllEntries | QDir::NoDotAndDotDot);
        for (const QString &name : hidden)
            EXPECT_FALSE(name.startsWith(u'.')) << name.toStdString() << " left behind";
    }
}

TEST(HelperTool, AnswersEveryRequestWithAResult)
{
    Trees trees;
    auto tool = toolFor(trees);
    using namespace QVHelperProtocol;
    const QVariantMap unknown = tool.perform({{QString::fromLatin1(kActionKey), QStringLiteral("ACTION_FORMAT_DISK")}});
    EXPECT_EQ(unknown, (QVariantMap{{QStringLiteral("result"), false}}));
    EXPECT_EQ(tool.perform({}), (QVariantMap{{QStringLiteral("result"), false}}));
    const QVariantMap done =
        tool.perform({{QString::fromLatin1(kActionKey), QString::fromLatin1(kActionInstallMailPlugin)},
                      {QString::fromLatin1(kSourcePathKey), trees.plugin},
                      {QString::fromLatin1(kLibraryPathKey), trees.library}});
    EXPECT_EQ(done, (QVariantMap{{QStringLiteral("result"), true}}));
}

}  // namespace
