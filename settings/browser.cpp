#include "settings/browser.h"

#include <QObject>
#include <QProcess>
#include <QString>

namespace qb::settings {

bool OpenInBrowser(const std::string& url) {
    auto* opener = new QProcess();
    opener->setProgram("xdg-open");
    opener->setArguments({QString::fromStdString(url)});
    opener->setStandardOutputFile(QProcess::nullDevice());
    opener->setStandardErrorFile(QProcess::nullDevice());
    opener->start();
    if (!opener->waitForStarted(10000)) {
        delete opener;
        return false;
    }
    // xdg-open hands the address to the browser and ends; it fails at once when there is
    // none. One that is still busy after a while has started a browser in its place.
    if (opener->waitForFinished(10000)) {
        const bool ok = opener->exitStatus() == QProcess::NormalExit && opener->exitCode() == 0;
        delete opener;
        return ok;
    }
    QObject::connect(opener, &QProcess::finished, opener, &QObject::deleteLater);
    return true;
}

}  // namespace qb::settings
