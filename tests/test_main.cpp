#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    // Headless, unless a test runs under a compositor of its own
    // (tests/wayland_session.sh).
    const QByteArray platform = qgetenv("MATRIX_TEST_PLATFORM");
    qputenv("QT_QPA_PLATFORM", platform.isEmpty() ? QByteArray("offscreen") : platform);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
