#include "app/WindowText.h"

#include <new>
#include <system_error>

#include "app/FolderWalk.h"
#include "settings/Text.h"

QString SearchStatusText(std::int64_t FileCount, std::int64_t DirCount, std::int64_t NotSearched)
{
    const QString files = " " + QString::number(FileCount) + " Files found in ";
    if (DirCount == 0)
        return files + "1 Directory";
    QString text = files + QString::number(DirCount + 1) + " Directories";
    if (NotSearched > 0)
        text += QString(" (%1 not searched again: reached more than %2 times through links)")
                    .arg(NotSearched)
                    .arg(kMaxSearchesPerFolder);
    return text;
}

QString SearchFailedText(const QString& reason) { return " Search failed: " + reason; }

QString SearchFailedMessage(const QByteArray& folder, const QString& reason)
{
    return "The search of \"" + DisplayPath(folder) + "\" failed: " + reason + ". The image list is empty.";
}

QString FailureReason(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
        return "Not enough memory";
    } catch (const std::system_error& e) {
        return QString::fromLocal8Bit(e.code().message());
    } catch (const std::exception& e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
    }
    return "Unknown error";
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
            char32_t cp = 0;
            const int len = DecodeUtf8(p + run, static_cast<std::size_t>(n - run), cp);
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
