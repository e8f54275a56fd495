// The GUI suite's entry: one QuorvexApplication for every test, on the
// offscreen platform unless the caller chose another (screenshots under
// Xvfb use xcb), inside a private home.
#include <gtest/gtest.h>

#include <QtGlobal>
#include <cstdlib>
#include <filesystem>

#include "platform/UserDefaults.h"
#include "support/TestSupport.h"
#include "ui/QuorvexApplication.h"

namespace {

// The offscreen platform warns about every window feature it lacks.
QtMessageHandler standardHandler = nullptr;

void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.startsWith(QStringLiteral("This plugin does not support"))) return;
    standardHandler(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
    standardHandler = qInstallMessageHandler(quietHandler);
    testsupport::ScratchDir home;
    home.becomeHome();
    platform::UserDefaults::resetStandardForEnvironment();
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const auto runtime = home.path() / "runtime";
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    QuorvexApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
