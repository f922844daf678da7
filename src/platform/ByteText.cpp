#include "platform/ByteText.h"

namespace bq {

namespace {

constexpr char16_t kFirstEscape = 0xDC80;

// The length of the longest start of `bytes` from `at` that is valid UTF-8, in bytes.
qsizetype ValidRun(const QByteArray& bytes, qsizetype at) {
    qsizetype end = at;
    while (end < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[end]);
        int length = 0;
        char32_t code = 0;
        char32_t least = 0;
        if (lead < 0x80) {
            length = 1;
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            code = lead & 0x1F;
            least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            code = lead & 0x0F;
            least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            code = lead & 0x07;
            least = 0x10000;
        } else {
            break;
        }
        if (end + length > bytes.size()) {
            break;
        }
        bool valid = true;
        for (int i = 1; i < length && valid; ++i) {
            const auto next = static_cast<unsigned char>(bytes[end + i]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        if (!valid || code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            break;
        }
        end += length;
    }
    return end - at;
}

}  // namespace

QString TextKeepingBytes(const QByteArray& bytes) {
    QString text;
    qsizetype at = 0;
    while (at < bytes.size()) {
        const qsizetype run = ValidRun(bytes, at);
        text += QString::fromUtf8(bytes.constData() + at, run);
        at += run;
        if (at < bytes.size()) {
            text +=
                QChar(static_cast<char16_t>(kFirstEscape + static_cast<unsigned char>(bytes[at])));
            ++at;
        }
    }
    return text;
}

int EscapedByte(QStringView text, qsizetype at) {
    const char16_t unit = text[at].unicode();
    if (unit < kFirstEscape || unit > kFirstEscape + 0xFF) {
        return -1;
    }
    if (at > 0 && text[at - 1].isHighSurrogate()) {
        return -1;  // the second half of a character beyond U+FFFF
    }
    return unit - kFirstEscape;
}

QByteArray BytesOfText(const QString& text) {
    QByteArray bytes;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const int byte = EscapedByte(text, i);
        if (byte >= 0) {
            bytes += QStringView(text).mid(start, i - start).toUtf8();
            bytes += static_cast<char>(byte);
            start = i + 1;
        }
    }
    bytes += QStringView(text).mid(start).toUtf8();
    return bytes;
}

}  // namespace bq
