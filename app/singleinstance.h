// One queue window per user, display and settings store. A program started while another
// one runs hands its command line (options and projects, their names made absolute) to the
// running one's queue over a local socket and ends; the running one takes it as if it had
// been given at its own start. Programs with different settings stores (tests, a second
// configuration) or on different displays do not see each other.
#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QLocalServer;

namespace qb::app {

class TInstanceServer : public QObject {
    Q_OBJECT
public:
    // The socket's full name for a settings store file on the current display.
    static std::string SocketName(const std::string& storeFile);

    // Either hands `arguments` to the running instance (true: it has taken them) or makes
    // this program the instance that later ones hand to (false). Project names are made
    // absolute against the current directory before they leave.
    bool HandOffOrListen(const std::string& storeFile, const std::vector<std::string>& arguments);

    // Where handed command lines go, from the event loop; the ones that arrived before
    // this is set wait for it.
    void SetReceiver(std::function<void(const std::vector<std::string>&)> receiver);

private:
    void Accept();
    void Deliver(const std::vector<std::string>& arguments);

    QLocalServer* server_ = nullptr;
    std::function<void(const std::vector<std::string>&)> receiver_;
    std::vector<std::vector<std::string>> pending_;
};

}  // namespace qb::app
