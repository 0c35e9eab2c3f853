#include "temporary_home.h"

#include "QVLogger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QUuid>

#include <latch>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Loggers live for the whole process, so each test takes names of its own.
QString uniqueName()
{
    return u"Test"_s + QUuid::createUuid().toString(QUuid::Id128);
}

QString generation(const QString &folder, const QString &name, int k)
{
    return folder + u'/' + name + (k > 1 ? QString::number(k) : QString()) + u".log"_s;
}

QStringList linesOf(const QByteArray &bytes)
{
    QStringList lines = QString::fromUtf8(bytes).split(u'\n');
    EXPECT_EQ(lines.takeLast(), QString()) << "the file must end with a line feed";
    return lines;
}

// "yyyy:MM:dd HH:mm:ss: message"
void expectLine(const QString &line, const QString &message)
{
    static const QRegularExpression format(u"^\\d{4}:\\d{2}:\\d{2} \\d{2}:\\d{2}:\\d{2}: (.*)$"_s,
                                           QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = format.match(line);
    ASSERT_TRUE(match.hasMatch()) << line.toStdString();
    EXPECT_EQ(match.captured(1), message);
}

int descriptorsOpenOn(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    int count = 0;
    for (const QFileInfo &entry : QDir(u"/proc/self/fd"_s).entryInfoList(QDir::System | QDir::Files)) {
        if (entry.symLinkTarget() == target)
            ++count;
    }
    return count;
}

class Logger : public TemporaryHome {};

struct RotationCase {
    const char *description;
    std::vector<int> existing;  // generations present before the first line
};

TEST_F(Logger, FirstLineOfAProcessRotatesTheGenerations)
{
    const RotationCase cases[] = {
        {"all five", {1, 2, 3, 4, 5}},
        {"only the current file", {1}},
        {"none", {}},
        {"with a gap", {1, 3, 5}},
    };
    for (const RotationCase &c : cases) {
        const QString name = uniqueName();
        for (int k : c.existing)
            writeFile(generation(logsFolder(), name, k), "old " + QByteArray::number(k) + "\n");

        QVLogger &logger = QVLogger::sharedLoggerWithDomain(u"Quorvane"_s, name);
        logger.logMessage(u"first"_s);
        logger.logMessage(u"second"_s);

        const QStringList current = linesOf(readFile(generation(logsFolder(), name, 1)));
        ASSERT_EQ(current.size(), 2) << c.description;
        expectLine(current[0], u"first"_s);
        expectLine(current[1], u"second"_s);
        for (int k = 2; k <= kQVMaxLogFiles; ++k) {
            const bool shifted = std::find(c.existing.begin(), c.existing.end(), k - 1) != c.existing.end();
            const QString path = generation(logsFolder(), name, k);
            EXPECT_EQ(QFile::exists(path), shifted) << c.description << ": generation " << k;
            if (shifted) {
                EXPECT_EQ(readFile(path), "old " + QByteArray::number(k - 1) + "\n") << c.description;
            }
        }
        EXPECT_FALSE(QFile::exists(generation(logsFolder(), name, 6))) << c.description;
    }
}

TEST_F(Logger, WritesUtf8LinesToAPrivateFile)
{
    const QString name = uniqueName();
    QVLogger::sharedLoggerWithDomain(u"Quorvane"_s, name).logMessage(u"Grüße, 世界 \U0001F600"_s);
    const QString path = generation(logsFolder(), name, 1);
    const QByteArray bytes = readFile(path);
    EXPECT_TRUE(bytes.endsWith(": Gr\xc3\xbc\xc3\x9f"
                               "e, \xe4\xb8\x96\xe7\x95\x8c \xf0\x9f\x98\x80\n"));
    EXPECT_EQ(QFileInfo(path).permissions() & 0x0077, 0) << "only the owner may read the log";
}

// Text that came from elsewhere (a Message-ID off the bus) must not be able
// to write a line of its own: every control character but the tab is
// written escaped.
TEST_F(Logger, ControlCharactersAreEscapedSoNoMessageStartsALine)
{
    const struct {
        QString message;
        QString written;
    } cases[] = {
        {u"*** CHECKING FOR SPAM: <a@x>\n2026:01:01 00:00:00: *** DETECTED SPAM: <victim@x>"_s,
         u"*** CHECKING FOR SPAM: <a@x>\\n2026:01:01 00:00:00: *** DETECTED SPAM: <victim@x>"_s},
        {u"carriage\rreturn"_s, u"carriage\\rreturn"_s},
        {u"escape \x1b[31m and bell \x07 and nul "_s + QChar(0) + u"."_s,
         u"escape \\x1b[31m and bell \\x07 and nul \\x00."_s},
        {u"next line \u0085, separators \u2028 \u2029, delete \x7f"_s,
         u"next line \\x85, separators \\u2028 \\u2029, delete \\x7f"_s},
        {u"tab\tstays, so do \\n and Grüße"_s, u"tab\tstays, so do \\n and Grüße"_s},
    };
    const QString name = uniqueName();
    QVLogger &logger = QVLogger::sharedLoggerWithDomain(u"Quorvane"_s, name);
    for (const auto &c : cases)
        logger.logMessage(c.message);
    const QStringList lines = linesOf(readFile(generation(logsFolder(), name, 1)));
    ASSERT_EQ(lines.size(), static_cast<qsizetype>(std::size(cases)));
    for (size_t i = 0; i < std::size(cases); ++i)
        expectLine(lines[static_cast<qsizetype>(i)], cases[i].written);
}

// A busy run rotates by size: no generation grows past the limit, the newest
// lines are in N.log and the generations follow each other without a gap.
TEST_F(Logger, RotatesBySizeWithinARunKeepingFiveGenerations)
{
    EXPECT_EQ(kQVMaxLogFileSize, 10 * 1024 * 1024);
    const QString name = uniqueName();
    QVLogger &logger = QVLogger::sharedLoggerWithDomain(u"Quorvane"_s, name);
    EXPECT_EQ(logger.maximumFileSize(), kQVMaxLogFileSize);
    constexpr qint64 limit = 4096;
    logger.setMaximumFileSize(limit);
    const QString padding(60, u'.');
    constexpr int count = 1000;  // about 90 kB: far more than five files hold
    for (int i = 0; i < count; ++i)
        logger.logMessage(u"line %1 "_s.arg(i, 4, 10, QLatin1Char('0')) + padding);

    int expected = count - 1;
    for (int k = 1; k <= kQVMaxLogFiles; ++k) {
        const QString path = generation(logsFolder(), name, k);
        ASSERT_TRUE(QFile::exists(path)) << "generation " << k;
        EXPECT_LE(QFileInfo(path).size(), limit) << "generation " << k;
        const QStringList lines = linesOf(readFile(path));
        ASSERT_FALSE(lines.isEmpty());
        // Newest last within a file; the files follow each other.
        for (auto line = lines.crbegin(); line != lines.crend(); ++line, --expected)
            expectLine(*line, u"line %1 "_s.arg(expected, 4, 10, QLatin1Char('0')) + padding);
    }
    EXPECT_GT(expected, 0) << "the oldest lines were dropped";
    EXPECT_FALSE(QFile::exists(generation(logsFolder(), name, kQVMaxLogFiles + 1)));
}

// Threads that log while the file rotates under them lose no line and split
// none (the lines fit in the five generations).
TEST_F(Logger, RotationBySizeKeepsConcurrentLinesWhole)
{
    const QString name = uniqueName();
    QVLogger &logger = QVLogger::sharedLoggerWithDomain(u"Quorvane"_s, name);
    logger.setMaximumFileSize(64 * 1024);
    constexpr int kThreads = 4;
    constexpr int kLines = 500;  // about 160 kB: three rotations
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < kLines; ++i)
                logger.logMessage(u"thread %1 line %2 "_s.arg(t).arg(i, 5, 10, QLatin1Char('0')) + QString(40, u'-'));
        });
    }
    for (auto &thread : threads)
        thread.join();

    static const QRegularExpression whole(
        u"^\\d{4}:\\d{2}:\\d{2} \\d{2}:\\d{2}:\\d{2}: thread (\\d) line (\\d{5}) -{40}$"_s);
    std::vector<std::vector<int>> seen(kThreads);
    for (int k = kQVMaxLogFiles; k >= 1; --k) {
        const QString path = generation(logsFolder(), name, k);
        if (!QFile::exists(path))
            continue;
        EXPECT_LE(QFileInfo(path).size(), 64 * 1024);
        for (const QString &line : linesOf(readFile(path))) {
            const QRegularExpressionMatch match = whole.match(line);
            ASSERT_TRUE(match.hasMatch()) << line.toStdString();
            seen[match.captured(1).toInt()].push_back(match.captured(2).toInt());
        }
    }
    EXPECT_TRUE(QFile::exists(generation(logsFolder(), name, 3))) << "the file rotated while the threads wrote";
    // Oldest generation first: each thread's lines, all of them, in order.
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), size_t(kLines)) << "thread " << t;
        for (int i = 0; i < kLines; ++i)
            EXPECT_EQ(seen[t][size_t(i)], i) << "thread " << t;
    }
}

TEST_F(Logger, TheFirstDomainOfANameWins)
{
    const QString name = uniqueName();
    QVLogger &first = QVLogger::sharedLoggerWithDomain(u"Quorvane"_s, name);
    QVLogger &second = QVLogger::sharedLoggerWithDomain(u"Other"_s, name);
    EXPECT_EQ(&first, &second);
    second.logMessage(u"line"_s);
    EXPECT_TRUE(QFile::exists(generation(logsFolder(), name, 1)));
    EXPECT_FALSE(QDir(productFolder() + u"/../Other"_s).exists());
}

TEST_F(Logger, ConcurrentFirstLinesRotateOnceAndOpenOnce)
{
    const QString name = uniqueName();
    writeFile(generation(logsFolder(), name, 1), "previous run\n");
    QVLogger &logger = QVLogger::sharedLoggerWithDomain(u"Quorvane"_s, name);

    constexpr int threadCount = 8;
    constexpr int linesPerThread = 50;
    std::latch start(threadCount);
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < linesPerThread; ++i)
                logger.logMessage(u"thread %1 line %2"_s.arg(t).arg(i));
        });
    }
    for (std::thread &thread : threads)
        thread.join();

    EXPECT_EQ(readFile(generation(logsFolder(), name, 2)), "previous run\n");
    EXPECT_FALSE(QFile::exists(generation(logsFolder(), name, 3)));
    const QStringList lines = linesOf(readFile(generation(logsFolder(), name, 1)));
    ASSERT_EQ(lines.size(), threadCount * linesPerThread);
    QSet<QString> seen;
    for (const QString &line : lines)
        seen.insert(line.section(u": "_s, 1));
    EXPECT_EQ(seen.size(), threadCount * linesPerThread);
    EXPECT_EQ(descriptorsOpenOn(generation(logsFolder(), name, 1)), 1);
}

// Fills the descriptor table so that opening the log fails while renaming
// still works.
class DescriptorTableFull {
public:
    DescriptorTableFull()
    {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = 64;
        setrlimit(RLIMIT_NOFILE, &lowered);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            taken_.push_back(fd);
    }
    ~DescriptorTableFull()
    {
        for (int fd : taken_)
            ::close(fd);
        setrlimit(RLIMIT_NOFILE, &saved_);
    }

private:
    rlimit saved_{};
    std::vector<int> taken_;
};

TEST_F(Logger, FailedOpensRetryTheOpenWithoutRotatingAgain)
{
    QVLogger::sharedLoggerWithDomain(u"Quorvane"_s, uniqueName()).logMessage(u"warm up"_s);
    const QString name = uniqueName();
    for (int k = 1; k <= 4; ++k)
        writeFile(generation(logsFolder(), name, k), "old " + QByteArray::number(k) + "\n");
    QVLogger &logger = QVLogger::sharedLoggerWithDomain(u"Quorvane"_s, name);
    {
        DescriptorTableFull full;
        for (int attempt = 0; attempt < 3; ++attempt)
            logger.logMessage(u"dropped"_s);
    }
    logger.logMessage(u"kept"_s);

    const QStringList current = linesOf(readFile(generation(logsFolder(), name, 1)));
    ASSERT_EQ(current.size(), 1);
    expectLine(current[0], u"kept"_s);
    for (int k = 2; k <= kQVMaxLogFiles; ++k)
        EXPECT_EQ(readFile(generation(logsFolder(), name, k)), "old " + QByteArray::number(k - 1) + "\n")
            << "generation " << k;
}

QStringList archiveEntries(const QString &archive)
{
    QProcess zip;
    zip.start(u"/usr/bin/zip"_s, {u"-sf"_s, archive});
    zip.waitForFinished(-1);
    QStringList entries;
    for (const QString &line : QString::fromUtf8(zip.readAllStandardOutput()).split(u'\n')) {
        if (line.startsWith(u"  "_s))
            entries.append(line.trimmed());
    }
    entries.sort();
    return entries;
}

TEST_F(Logger, ArchiveHoldsTheLogsFlatOnTheDesktop)
{
    writeFile(logsFolder() + u"/QVCore.log"_s, "core\n");
    writeFile(logsFolder() + u"/QVCore2.log"_s, "older\n");
    writeFile(logsFolder() + u"/QVMailPlugin.log"_s, "plugin\n");
    writeFile(logsFolder() + u"/nested/extra.log"_s, "nested\n");
    ASSERT_TRUE(QDir(home()).mkdir(u"Desktop"_s));

    QString archive;
    ASSERT_TRUE(QVLogCreateArchiveWithLogFiles(&archive));
    EXPECT_EQ(archive, home() + u"/Desktop/QVLogs.zip"_s);
    EXPECT_EQ(archiveEntries(archive),
              (QStringList{u"QVCore.log"_s, u"QVCore2.log"_s, u"QVMailPlugin.log"_s, u"extra.log"_s}));
    EXPECT_TRUE(QVLogCreateArchiveWithLogFiles()) << "the path is optional";
}

// The logs are owner-only, and so is their archive, also one that replaces
// an older archive readable by others; nothing of the old one is kept.
TEST_F(Logger, ArchiveIsOwnerOnlyAndReplacesAnOlderOne)
{
    writeFile(logsFolder() + u"/QVCore.log"_s, "core\n");
    ASSERT_TRUE(QDir(home()).mkdir(u"Desktop"_s));
    const QString archive = home() + u"/Desktop/QVLogs.zip"_s;
    writeFile(archive, "an old archive");
    ASSERT_TRUE(QFile::setPermissions(
        archive, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(QVLogCreateArchiveWithLogFiles());
        struct stat status {};
        ASSERT_EQ(::stat(QFile::encodeName(archive).constData(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600u) << run;
        EXPECT_EQ(archiveEntries(archive), QStringList{u"QVCore.log"_s});
    }
    EXPECT_EQ(QDir(home() + u"/Desktop"_s).entryList(QDir::Files | QDir::Hidden), QStringList{u"QVLogs.zip"_s})
        << "nothing is left beside it";
}

TEST_F(Logger, ArchiveFailsWithoutLogsOrDesktop)
{
    QString archive = u"untouched"_s;
    EXPECT_FALSE(QVLogCreateArchiveWithLogFiles(&archive)) << "no Logs folder";
    writeFile(logsFolder() + u"/QVCore.log"_s, "core\n");
    EXPECT_FALSE(QVLogCreateArchiveWithLogFiles(&archive)) << "no Desktop";
    EXPECT_EQ(archive, u"untouched"_s);
}

}  // namespace
