#include "app/WindowText.h"

QString SearchStatusText(std::int64_t FileCount, std::int64_t DirCount)
{
    const QString files = " " + QString::number(FileCount) + " Files found in ";
    if (DirCount == 0)
        return files + "1 Directory";
    return files + QString::number(DirCount + 1) + " Directories";
}

QString SearchProgressText(std::int64_t FileCount)
{
    return " Searching... " + QString::number(FileCount) + " Files found so far";
}

QString CaptionText(const std::string& storedName)
{
    constexpr int kMaxCharacters = 16;
    const QString text = QString::fromStdString(storedName);
    // Count characters, not UTF-16 units: never cut a character in half.
    int units = 0;
    for (int chars = 0; chars < kMaxCharacters && units < text.size(); ++chars)
        units += (text.at(units).isHighSurrogate() && units + 1 < text.size()) ? 2 : 1;
    return text.left(units);
}

namespace {
// Length of the valid UTF-8 sequence at p (at most n bytes), 0 when invalid.
int utf8SequenceLength(const unsigned char* p, qsizetype n)
{
    const unsigned char b = p[0];
    int len;
    char32_t min;
    if (b < 0x80)
        return 1;
    if ((b & 0xE0) == 0xC0) {
        len = 2;
        min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3;
        min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (n < len)
        return 0;
    char32_t cp = b & (0x7F >> len);
    for (int i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode are not valid UTF-8.
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}
}  // namespace

QString DisplayPath(const QByteArray& path)
{
    const auto* p = reinterpret_cast<const unsigned char*>(path.constData());
    const qsizetype n = path.size();
    QString out;
    out.reserve(n);
    qsizetype i = 0;
    while (i < n) {
        // Decode the longest valid run in one go; the common case is one run.
        qsizetype run = i;
        while (run < n) {
            const int len = utf8SequenceLength(p + run, n - run);
            if (len == 0)
                break;
            run += len;
        }
        if (run > i)
            out += QString::fromUtf8(path.constData() + i, run - i);
        if (run < n)
            out += QChar(p[run]);  // Latin-1
        i = run + 1;
    }
    return out;
}
