// The test programs of the window and the report need a QApplication. They run on the
// offscreen platform unless told otherwise, so no display is needed.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

namespace {

QtMessageHandler defaultHandler = nullptr;

// The offscreen platform says, for every window shown, which window-manager hints it
// ignores; that says nothing about the program under test.
void QuietPlatformNotes(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && message.startsWith(QStringLiteral("This plugin does not support"))) return;
    if (defaultHandler) defaultHandler(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    defaultHandler = qInstallMessageHandler(QuietPlatformNotes);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
