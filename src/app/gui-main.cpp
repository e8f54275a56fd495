// The windowed program: every file named on the command line opens as a
// document, a folder in the browser; without one the browser shows. When the program already runs
// in this session, the files go to it (without files its browser comes forward) and this process
// ends. The log goes to the log file under the XDG state folder, or to standard error with
// --verbose.
#include <csignal>
#include <cstdio>

#include "ui/ApplicationShell.h"
#include "ui/QuorvexAppDelegate.h"
#include "ui/QuorvexApplication.h"
#include "ui/SingleInstance.h"

int main(int argc, char** argv) {
    // Past a file-size limit a write fails (and is told); the signal would
    // end the program and lose every open window's edits.
    std::signal(SIGXFSZ, SIG_IGN);
    QuorvexApplication application(argc, argv);
    QStringList files = QCoreApplication::arguments();
    files.removeFirst();
    const bool verbose = files.removeAll(QStringLiteral("--verbose")) > 0;
    QuorvexAppDelegate::keepLog(verbose);
    platform::SingleInstance instance;
    switch (instance.start(files)) {
        case platform::SingleInstance::Role::HandedOver:
            return 0;
        case platform::SingleInstance::Role::Failed:
            std::fprintf(stderr,
                         "Quorvex is already running but does not answer; nothing was opened.\n");
            return 1;
        case platform::SingleInstance::Role::Primary:
            break;
    }
    QuorvexAppDelegate delegate;
    instance.setFilesHandler([&delegate](const QStringList& handed) {
        if (delegate.isTerminating()) return;
        if (handed.isEmpty())
            platform::ApplicationShell::shared().showBrowser();
        else
            delegate.openPaths(handed);
    });
    delegate.launch(application, files);
    return QCoreApplication::exec();
}
