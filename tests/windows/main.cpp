// Window tests run offscreen in a session of their own (tests/support/session.sh).
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
