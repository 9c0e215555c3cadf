#include "app/core/TextNote.h"

#include "app/core/UploadWatcher.h"
#include "platform/platform.h"

#include <QRegularExpression>
#include <QStringDecoder>
#include <algorithm>

namespace appcore {

QString TextFileName(const QDateTime& when) {
    return when.toString(QStringLiteral("'Text 'yyyy-MM-dd hh.mm.ss'.txt'"));
}

bool IsTextFileName(const QString& name) {
    static const QRegularExpression form(
        QStringLiteral(R"(^Text \d{4}-\d{2}-\d{2} \d{2}\.\d{2}\.\d{2}(\(\d+\))?\.txt$)"));
    return form.match(name).hasMatch();
}

bool HasWords(const QString& text) {
    return !text.trimmed().isEmpty();
}

std::optional<std::string> WriteTextFile(const std::string& folder, const QString& text,
                                         const QDateTime& when) {
    const QByteArray bytes = text.toUtf8();
    return PlaceUnderFreeName(
        folder + TextFileName(when).toStdString(), [&](const std::string& target) {
            // Written whole under its name or not at all.
            if (platform::FileExists(target))
                return false;
            std::string error;
            return platform::WriteFileAtomically(
                target, {bytes.constData(), std::size_t(bytes.size())}, error);
        });
}

QString FirstLineOfText(const std::string& path, int maxChars) {
    constexpr std::int64_t Head = 4096;
    auto file = platform::ReadOnlyFile::Open(path);
    if (!file)
        return {};
    QByteArray head(static_cast<qsizetype>(std::min(file->Size(), Head)), '\0');
    const std::int64_t read = file->ReadAt(0, {head.data(), std::size_t(head.size())});
    if (read < 0)
        return {};
    head.truncate(static_cast<qsizetype>(read));
    // A sequence cut at the 4 KB mark is no fault of the text: a stateful
    // decoder waits for the bytes never given. A file read whole must end whole.
    QStringDecoder utf8(QStringDecoder::Utf8, file->Size() > Head
                                                  ? QStringDecoder::Flag::Default
                                                  : QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(head);
    if (utf8.hasError())
        return {};
    for (const QString& raw : text.split(QRegularExpression(QStringLiteral("[\r\n]")))) {
        const QString line = raw.simplified();
        if (line.isEmpty())
            continue;
        return line.size() > maxChars ? line.left(maxChars - 1) + QChar(0x2026) : line;
    }
    return {};
}

} // namespace appcore
