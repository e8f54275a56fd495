// The windowed program: every file named on the command line opens as a
// document; without one the browser shows.
#include "ui/QuorvexAppDelegate.h"
#include "ui/QuorvexApplication.h"

int main(int argc, char** argv) {
    QuorvexApplication application(argc, argv);
    QStringList files = QCoreApplication::arguments();
    files.removeFirst();
    QuorvexAppDelegate delegate;
    delegate.launch(application, files);
    return QCoreApplication::exec();
}
