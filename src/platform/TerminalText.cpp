#include "platform/TerminalText.h"

#include "platform/ByteText.h"

namespace bq {

namespace {

bool IsControl(char32_t code) {
    return code < 0x20 || (code >= 0x7F && code <= 0x9F);
}

void AppendEscape(QString& out, char32_t code) {
    switch (code) {
        case 0x07:
            out += QStringLiteral("\\a");
            return;
        case 0x08:
            out += QStringLiteral("\\b");
            return;
        case 0x09:
            out += QStringLiteral("\\t");
            return;
        case 0x0A:
            out += QStringLiteral("\\n");
            return;
        case 0x0B:
            out += QStringLiteral("\\v");
            return;
        case 0x0C:
            out += QStringLiteral("\\f");
            return;
        case 0x0D:
            out += QStringLiteral("\\r");
            return;
        case 0x1B:
            out += QStringLiteral("\\e");
            return;
        default:
            out += QStringLiteral("\\x%1").arg(static_cast<uint>(code), 2, 16, QLatin1Char('0'));
            return;
    }
}

void AppendShown(QString& out, char32_t code) {
    if (IsControl(code)) {
        AppendEscape(out, code);
    } else {
        out += QString::fromUcs4(&code, 1);
    }
}

}  // namespace

QString TerminalSafe(QStringView text) {
    QString out;
    out.reserve(text.size());
    for (qsizetype at = 0; at < text.size(); ++at) {
        const int byte = EscapedByte(text, at);
        if (byte >= 0) {
            // A byte, not a character: in capitals, unlike the escapes of control characters.
            out += QStringLiteral("\\x") +
                   QString::number(byte, 16).toUpper().rightJustified(2, QLatin1Char('0'));
            continue;
        }
        char32_t code = text[at].unicode();
        if (text[at].isHighSurrogate() && at + 1 < text.size() && text[at + 1].isLowSurrogate()) {
            code = QChar::surrogateToUcs4(text[at], text[at + 1]);
            ++at;
        }
        AppendShown(out, code);
    }
    return out;
}

QString TerminalSafeBytes(const QByteArray& bytes) {
    return TerminalSafe(TextKeepingBytes(bytes));
}

}  // namespace bq
