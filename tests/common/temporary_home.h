// A fresh HOME per test: Qt's standard locations in test mode and the
// Desktop then lie inside a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <ostream>

// Readable strings in failure messages.
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

class TemporaryHome : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    QString home() const { return directory_->path(); }
    // <data location>/Quorvane, where the lists and logs live.
    QString productFolder() const;
    QString logsFolder() const { return productFolder() + QStringLiteral("/Logs"); }

    static QByteArray readFile(const QString &path);
    static void writeFile(const QString &path, const QByteArray &bytes);

private:
    std::unique_ptr<QTemporaryDir> directory_;
    QByteArray savedHome_;
};
