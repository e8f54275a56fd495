#include "ui/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QVariant>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/Log.h"

namespace platform {

namespace {

// A request: the line "QuorvexOpen1 <bytes>\n", then that many bytes: the
// absolute paths in UTF-8, each ended by NUL. The answer is one byte.
constexpr char kMagic[] = "QuorvexOpen1 ";
constexpr qsizetype kMaxHeader = 32;
constexpr qsizetype kMaxPayload = qsizetype(1) << 20;
constexpr char kAnswer = 'k';
constexpr int kHandOverMs = 10000;

bool isPrivateFolder(const std::filesystem::path& dir) {
    struct stat st {};
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
}

QByteArray encodeRequest(const QStringList& files) {
    QByteArray payload;
    for (const QString& file : files) {
        payload += QFileInfo(file).absoluteFilePath().toUtf8();
        payload += '\0';
    }
    return kMagic + QByteArray::number(payload.size()) + '\n' + payload;
}

// The paths of a complete request; nullopt while it is incomplete; throws
// nothing: a malformed request sets `bad`.
std::optional<QStringList> decodeRequest(const QByteArray& request, bool& bad) {
    bad = false;
    const qsizetype newline = request.indexOf('\n');
    if (newline < 0) {
        bad = request.size() > kMaxHeader;
        return std::nullopt;
    }
    const QByteArray header = request.left(newline);
    bool number = false;
    const qsizetype size = header.startsWith(kMagic)
                               ? header.mid(qsizetype(sizeof kMagic - 1)).toLongLong(&number)
                               : -1;
    if (!number || size < 0 || size > kMaxPayload || request.size() > newline + 1 + size) {
        bad = true;
        return std::nullopt;
    }
    if (request.size() < newline + 1 + size) return std::nullopt;
    QStringList files;
    for (const QByteArray& path : request.mid(newline + 1).split('\0'))
        if (!path.isEmpty()) files << QString::fromUtf8(path);
    return files;
}

}  // namespace

SingleInstance::SingleInstance() = default;

SingleInstance::~SingleInstance() {
    if (server_) server_->close();  // removes the socket file
    if (lockFd_ >= 0) ::close(lockFd_);
}

std::filesystem::path SingleInstance::runtimeDirectory() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
        if (isPrivateFolder(runtime)) return runtime;
    }
    const char* tmp = std::getenv("TMPDIR");
    const std::filesystem::path dir = std::filesystem::path(tmp && *tmp == '/' ? tmp : "/tmp") /
                                      ("quorvex-" + std::to_string(::geteuid()));
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
    // Another user's folder of that name is never used.
    return isPrivateFolder(dir) ? dir : std::filesystem::path();
}

QString SingleInstance::socketPath() {
    const auto dir = runtimeDirectory();
    return dir.empty() ? QString() : QString::fromStdString((dir / "Quorvex.socket").string());
}

bool SingleInstance::takeLock() {
    const auto path = runtimeDirectory() / "Quorvex.lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        log("SingleInstance cannot open %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    lockFd_ = fd;
    return true;
}

bool SingleInstance::listen() {
    const QString path = socketPath();
    QLocalServer::removeServer(path);  // a killed instance's socket
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(path)) {
        log("SingleInstance cannot listen on %s: %s", path.toUtf8().constData(),
            server_->errorString().toUtf8().constData());
        return false;
    }
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this,
                    [this, socket] { readRequest(socket); });
        }
    });
    return true;
}

SingleInstance::Role SingleInstance::start(const QStringList& files) {
    if (runtimeDirectory().empty()) {
        log("SingleInstance has no private runtime folder; running without the one-instance check");
        return Role::Primary;
    }
    if (takeLock()) {
        listen();
        return Role::Primary;
    }
    return handOver(files);
}

SingleInstance::Role SingleInstance::handOver(const QStringList& files) {
    const QByteArray request = encodeRequest(files);
    QElapsedTimer clock;
    clock.start();
    // The lock's holder may be starting at this moment and not listen yet,
    // or may have just quit: then this launch takes the lock itself.
    while (clock.elapsed() < kHandOverMs) {
        QLocalSocket socket;
        socket.connectToServer(socketPath());
        if (socket.waitForConnected(500)) {
            socket.write(request);
            if (!socket.waitForBytesWritten(kHandOverMs)) return Role::Failed;
            char answer = 0;
            if (socket.waitForReadyRead(kHandOverMs) && socket.read(&answer, 1) == 1 &&
                answer == kAnswer)
                return Role::HandedOver;
            return Role::Failed;
        }
        if (takeLock()) {
            listen();
            return Role::Primary;
        }
        QThread::msleep(50);
    }
    return Role::Failed;
}

void SingleInstance::readRequest(QLocalSocket* socket) {
    const QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    bool bad = false;
    const std::optional<QStringList> files = decodeRequest(request, bad);
    if (bad) {
        log("SingleInstance refuses a malformed request of %lld bytes",
            static_cast<long long>(request.size()));
        socket->abort();
        return;
    }
    if (!files) {
        socket->setProperty("request", request);
        return;
    }
    socket->setProperty("request", QVariant());
    socket->write(&kAnswer, 1);
    socket->flush();
    if (files->isEmpty())
        log("Another launch brings the browser forward");
    else
        log("Another launch opens %s", files->join(QStringLiteral(", ")).toUtf8().constData());
    if (handler_) handler_(*files);
}

}  // namespace platform
