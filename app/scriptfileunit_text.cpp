// The script text between its 8-bit form and the review dialog's editor.
#include <QStringDecoder>

#include "app/scriptfileunit_include.h"

namespace qb::app {

QString ScriptToEditor(const std::string& text, bool& latin1) {
    // A byte order mark at the start is kept as a character, so that it survives too.
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString s = utf8(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
    latin1 = utf8.hasError();
    if (latin1) s = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return s;
}

std::string EditorToScript(const QString& text, bool latin1) {
    QString s = text;
    s.replace(QLatin1String("\n"), QLatin1String("\r\n"));
    // Characters that Latin-1 cannot hold (typed by the user) fall back to UTF-8 as a whole.
    if (latin1) {
        bool fits = true;
        for (QChar c : s)
            if (c.unicode() > 0xFF) {
                fits = false;
                break;
            }
        if (fits) {
            const QByteArray bytes = s.toLatin1();
            return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
        }
    }
    const QByteArray bytes = s.toUtf8();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

}  // namespace qb::app
