// One windowed program per user session. Two would corrupt each other's
// state: the crash guard would take the other's running flag for a crash,
// and each rewrites the defaults file and the catalog when it quits.
//
// The running instance holds an exclusive lock (flock) on
// "Quorvex.lock" in the runtime folder for its whole life and listens on
// the local socket "Quorvex.socket" beside it. A launch that cannot take the
// lock sends its files (absolute paths; none means "bring the browser
// forward") to the socket, waits for the answer and exits. The kernel drops
// the lock of a killed process, so a socket file left by kill -9 is removed
// by the next launch that gets the lock: it never blocks anybody.
//
// The runtime folder is $XDG_RUNTIME_DIR, or, without one, a folder
// "quorvex-<uid>" of mode 0700 in $TMPDIR (default /tmp).
//
// GUI thread only; made after the application object.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <filesystem>
#include <functional>

class QLocalServer;
class QLocalSocket;

namespace platform {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role {
        Primary,     // this process runs the program
        HandedOver,  // another instance took the files; exit normally
        Failed,      // another instance runs but did not answer
    };

    SingleInstance();
    ~SingleInstance() override;

    // Becomes the running instance, or hands `files` to it. Relative paths
    // are taken from the current folder.
    Role start(const QStringList& files);

    // Called on the GUI thread with each later launch's files.
    void setFilesHandler(std::function<void(const QStringList& files)> handler) {
        handler_ = std::move(handler);
    }

    static std::filesystem::path runtimeDirectory();
    static QString socketPath();

private:
    bool takeLock();
    bool listen();
    Role handOver(const QStringList& files);
    void readRequest(QLocalSocket* socket);

    int lockFd_ = -1;
    QLocalServer* server_ = nullptr;
    std::function<void(const QStringList&)> handler_;
};

}  // namespace platform
