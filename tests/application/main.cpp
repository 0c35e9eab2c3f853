// One application object for every test of the program, made before the
// tests and gone before static destruction (Qt D-Bus must not outlive it).
#include "QVUserDefaults.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication application(argc, argv);
    QVUserDefaults::standardUserDefaults().registerDefaults(QVUserDefaults::applicationDefaults());
    return RUN_ALL_TESTS();
}
