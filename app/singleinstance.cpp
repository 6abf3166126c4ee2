#include "app/singleinstance.h"

#include "app/instancemessage.h"

#include <QCryptographicHash>
#include <QDir>
#include <QGuiApplication>
#include <QLocalServer>
#include <QLocalSocket>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/files.h"

namespace qb::app {

namespace {

// Sent back once a command line has been taken.
constexpr char kTaken = 'K';
// How long a program waits for the running one (a loaded machine may be slow to answer).
constexpr int kTimeoutMs = 10000;

std::string EnvText(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// Serialises the start-up step of programs of one socket, so that of two programs started
// at the same moment one listens and the other hands off to it.
class TStartLock {
public:
    explicit TStartLock(const std::string& file) {
        fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) flock(fd_, LOCK_EX);
    }
    ~TStartLock() {
        if (fd_ >= 0) ::close(fd_);  // releases the lock
    }
    TStartLock(const TStartLock&) = delete;
    TStartLock& operator=(const TStartLock&) = delete;

private:
    int fd_ = -1;
};

}  // namespace

std::string TInstanceServer::SocketName(const std::string& storeFile) {
    std::string dir = EnvText("XDG_RUNTIME_DIR");
    if (dir.empty() || !qb::platform::DirectoryExists(dir)) dir = qb::platform::GetTempDirectory();
    const std::string display = QGuiApplication::platformName().toStdString() + "|" + EnvText("WAYLAND_DISPLAY") +
                                "|" + EnvText("DISPLAY") + "|" + qb::platform::ExpandFileName(storeFile);
    const QByteArray hash =
        QCryptographicHash::hash(QByteArray::fromStdString(display), QCryptographicHash::Sha256).toHex().left(16);
    return qb::platform::IncludeTrailingPathDelimiter(dir) + "quiltbatch-" + std::to_string(getuid()) + "-" +
           hash.toStdString();
}

bool TInstanceServer::HandOffOrListen(const std::string& storeFile, const std::vector<std::string>& arguments) {
    const std::string name = SocketName(storeFile);
    TStartLock lock(name + ".lock");
    {
        QLocalSocket socket;
        socket.connectToServer(QString::fromStdString(name));
        if (socket.waitForConnected(kTimeoutMs)) {
            std::vector<std::string> absolute;
            for (const std::string& a : arguments)
                absolute.push_back(!a.empty() && a[0] == '-' ? a : qb::platform::ExpandFileName(a));
            const std::string message = EncodeCommandLine(absolute);
            socket.write(message.data(), static_cast<qint64>(message.size()));
            socket.flush();
            while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(kTimeoutMs)) {
            }
            if (socket.waitForReadyRead(kTimeoutMs)) {
                char answer = 0;
                if (socket.read(&answer, 1) == 1 && answer == kTaken) return true;
            }
            // The running program did not answer: this one goes on by itself.
            return false;
        }
    }
    // Nobody listens: a socket file left by a program that died goes, and this one listens.
    QLocalServer::removeServer(QString::fromStdString(name));
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(QString::fromStdString(name))) {
        delete server_;
        server_ = nullptr;
        return false;  // without a socket this program simply runs alone
    }
    connect(server_, &QLocalServer::newConnection, this, [this] { Accept(); });
    return false;
}

void TInstanceServer::SetReceiver(std::function<void(const std::vector<std::string>&)> receiver) {
    receiver_ = std::move(receiver);
    std::vector<std::vector<std::string>> pending;
    pending.swap(pending_);
    for (const auto& args : pending) Deliver(args);
}

void TInstanceServer::Accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        auto buffer = std::make_shared<std::string>();
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, buffer] {
            const QByteArray bytes = socket->readAll();
            buffer->append(bytes.constData(), static_cast<size_t>(bytes.size()));
            std::vector<std::string> args;
            switch (TakeCommandLine(*buffer, args)) {
                case TTakeResult::trIncomplete:
                    return;
                case TTakeResult::trInvalid:
                    socket->abort();  // not one of ours
                    return;
                case TTakeResult::trComplete:
                    break;
            }
            socket->write(&kTaken, 1);
            socket->flush();
            Deliver(args);
        });
    }
}

void TInstanceServer::Deliver(const std::vector<std::string>& arguments) {
    if (receiver_)
        receiver_(arguments);
    else
        pending_.push_back(arguments);
}

}  // namespace qb::app
