// SPDX-License-Identifier: GPL-3.0-or-later
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

int main(int argc, char** argv) {
    // Test discovery runs at build time, outside the tests' private HOME: it
    // lists names and must not start Qt, which may write caches and settings.
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--gtest_list_tests") {
            testing::InitGoogleTest(&argc, argv);
            return RUN_ALL_TESTS();
        }
    }
    // Headless unless a platform is chosen explicitly.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int status = 0;
    {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Kestrin"));
        testing::InitGoogleTest(&argc, argv);
        status = RUN_ALL_TESTS();
    }
    // As the application does: the libraries' statics, Qt's PulseAudio
    // connection among them, are not torn down.
    std::fflush(nullptr);
    std::_Exit(status);
}
