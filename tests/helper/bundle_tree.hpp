// Application bundles and a user's Library folder in a temporary folder.
#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTemporaryDir>

#include <unistd.h>

namespace helper_test {

inline void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

inline QByteArray infoPlist(const QString &identifier)
{
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                          "\t<key>CFBundleIdentifier</key>\n\t<string>%1</string>\n</dict>\n</plist>\n")
        .arg(identifier)
        .toUtf8();
}

// <root>/Quorvane.app with a program, both plug-ins and an Info.plist.
inline QString makeApplication(const QString &root, const QString &identifier, const QByteArray &program)
{
    const QString bundle = root + QStringLiteral("/Quorvane.app");
    writeFile(bundle + QStringLiteral("/Contents/Info.plist"), infoPlist(identifier));
    writeFile(bundle + QStringLiteral("/Contents/MacOS/Quorvane"), program);
    for (const char *name : {"Quorvane.mailbundle", "Quorvane-MailPluginFor109.mailbundle"}) {
        const QString plugin = bundle + QStringLiteral("/Contents/PlugIns/") + QLatin1String(name);
        writeFile(plugin + QStringLiteral("/Contents/Info.plist"),
                  infoPlist(QStringLiteral("org.quorvane.mailbundle")));
        writeFile(plugin + QStringLiteral("/Contents/MacOS/Quorvane"), "plug-in " + QByteArray(name));
    }
    return bundle;
}

struct Trees {
    QTemporaryDir root;
    QString bundle;
    QString library;
    QString plugin;

    Trees()
    {
        // Canonical, so that the helper's no-link rule holds for the root.
        const QString base = QFileInfo(root.path()).canonicalFilePath();
        bundle = makeApplication(base, QStringLiteral("org.quorvane.Quorvane"), "old program");
        library = base + QStringLiteral("/home/Library");
        QDir().mkpath(library);
        plugin = bundle + QStringLiteral("/Contents/PlugIns/Quorvane.mailbundle");
    }
    QString base() const { return QFileInfo(root.path()).canonicalFilePath(); }
    QString installed(const QString &folder = QStringLiteral("Bundles")) const
    {
        return library + QStringLiteral("/Mail/") + folder + QStringLiteral("/Quorvane.mailbundle");
    }
};

}  // namespace helper_test
