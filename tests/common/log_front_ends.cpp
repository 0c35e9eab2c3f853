// The front ends keep their loggers for the whole process, so they are tested
// in a program of their own, where nothing has logged before.
#include "temporary_home.h"

#include "QVLogger.h"
#include "QVMailList.h"

#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace {

class LogFrontEnds : public TemporaryHome {};

TEST_F(LogFrontEnds, WriteTheirOwnFilesAndFillPlaceholdersOnce)
{
    QVLogCore(u"*** %1 of %2"_s, u"100%2"_s, 7);
    QVLogPlugin(u"plug-in line"_s);
    QVMailList list(u"BlackList"_s);
    list.addItem(u"  "_s);

    const QRegularExpression line(u"^\\d{4}:\\d{2}:\\d{2} \\d{2}:\\d{2}:\\d{2}: (.*)$"_s);
    const QStringList core = QString::fromUtf8(readFile(logsFolder() + u"/QVCore.log"_s)).split(u'\n');
    ASSERT_EQ(core.size(), 3);
    EXPECT_EQ(line.match(core[0]).captured(1), u"*** 100%2 of 7"_s);
    EXPECT_EQ(line.match(core[1]).captured(1), u"Refused to add an empty, blank or unstorable entry to BlackList."_s);
    EXPECT_EQ(core[2], QString());

    const QStringList plugin = QString::fromUtf8(readFile(logsFolder() + u"/QVMailPlugin.log"_s)).split(u'\n');
    ASSERT_EQ(plugin.size(), 2);
    EXPECT_EQ(line.match(plugin[0]).captured(1), u"plug-in line"_s);
}

}  // namespace
