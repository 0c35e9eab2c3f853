#include "QVHelperChannel.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray frame(const QByteArray &body)
{
    const quint32 n = quint32(body.size());
    const char header[4] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    return QByteArray(header, 4) + body;
}

TEST(HelperChannel, FramesRoundTripAndMalformedOnesAreRefused)
{
    const QVariantMap message{{QStringLiteral("action"), QStringLiteral("ACTION_INSTALL_UPDATE")},
                              {QStringLiteral("path"), QStringLiteral("/tmp/é")},
                              {QStringLiteral("result"), true}};
    EXPECT_EQ(QVHelperChannel::decodeFrame(QVHelperChannel::encode(message)), message);
    EXPECT_EQ(QVHelperChannel::decodeFrame(frame("")), QVariantMap());

    struct Case {
        const char *name;
        QByteArray bytes;
    };
    const QByteArray good = QByteArray("s") + QByteArray("\0\1k", 3) + QByteArray("\0\0\0\1v", 5);
    const Case refused[] = {
        {"short header", QByteArray("\0\0", 2)},
        {"length past the bytes", QByteArray("\0\0\0\x0a", 4) + good},
        {"truncated value", frame(good.left(good.size() - 1))},
        {"a key twice", frame(good + good)},
        {"unknown type", frame(QByteArray("x\0\1k", 4))},
        {"a boolean of 2", frame(QByteArray("b\0\1k\2", 5))},
        {"invalid UTF-8", frame(QByteArray("s\0\1k\0\0\0\1\xff", 9))},
        {"a NUL in a value", frame(QByteArray("s\0\1k\0\0\0\1\0", 9))},
        {"a value longer than its frame", frame(QByteArray("s\0\1k\xff\xff\xff\xff", 8))},
    };
    for (const Case &c : refused)
        EXPECT_FALSE(QVHelperChannel::decodeFrame(c.bytes).has_value()) << c.name;

    QVariantMap many;
    for (int i = 0; i <= QVHelperChannel::kMaxEntries; ++i)
        many.insert(QString::number(i), true);
    EXPECT_TRUE(QVHelperChannel::encode(many).isEmpty());
    EXPECT_TRUE(QVHelperChannel::encode({{QStringLiteral("n"), 5}}).isEmpty()) << "only strings and booleans";
}

TEST(HelperChannel, BytesFromAnyOtherWriterEndTheChannel)
{
    for (const bool fromTheChild : {true, false}) {
        SCOPED_TRACE(fromTheChild ? "the accepted writer" : "another writer");
        int ends[2];
        ASSERT_TRUE(QVHelperChannel::makePair(ends));
        QVHelperChannel near(ends[0]);
        QVHelperChannel far(ends[1]);
        ASSERT_TRUE(near.stampWriters());
        const pid_t child = ::fork();
        if (child == 0) {
            near.close();
            if (fromTheChild)
                far.send({{QStringLiteral("result"), true}});
            _exit(0);
        }
        near.acceptOnlyFrom(child);
        if (!fromTheChild)
            far.send({{QStringLiteral("result"), true}});
        far.close();
        const auto message = near.receive(10000);
        EXPECT_EQ(message.has_value(), fromTheChild);
        EXPECT_EQ(near.isOpen(), fromTheChild);
        ::waitpid(child, nullptr, 0);
    }
}

TEST(HelperChannel, AnOversizedOrSilentPeerIsNoMessage)
{
    int ends[2];
    ASSERT_TRUE(QVHelperChannel::makePair(ends));
    QVHelperChannel near(ends[0]);
    QVHelperChannel far(ends[1]);
    EXPECT_FALSE(near.receive(50).has_value()) << "nothing within the time";
    ASSERT_TRUE(QVHelperChannel::makePair(ends));
    near = QVHelperChannel(ends[0]);
    far = QVHelperChannel(ends[1]);
    const QByteArray huge = frame(QByteArray(QVHelperChannel::kMaxBodySize + 1, 'x'));
    ASSERT_EQ(::send(far.descriptor(), huge.constData(), 4, 0), 4);
    EXPECT_FALSE(near.receive(1000).has_value());
}

}  // namespace
