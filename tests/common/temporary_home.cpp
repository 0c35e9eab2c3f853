#include "temporary_home.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cstdlib>

void TemporaryHome::SetUp()
{
    QStandardPaths::setTestModeEnabled(true);
    directory_ = std::make_unique<QTemporaryDir>();
    ASSERT_TRUE(directory_->isValid());
    savedHome_ = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(directory_->path()));
    for (const char *variable : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_DIRS"})
        qunsetenv(variable);
}

void TemporaryHome::TearDown()
{
    qputenv("HOME", savedHome_);
    directory_.reset();
}

QString TemporaryHome::productFolder() const
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Quorvane");
}

QByteArray TemporaryHome::readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void TemporaryHome::writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(path.section(u'/', 0, -2));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}
