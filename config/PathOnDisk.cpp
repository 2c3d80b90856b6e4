#include "config/PathOnDisk.h"

#include <QFile>

#include <dirent.h>

#include <memory>

namespace {
struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// The raw names in `folder` that show as `shown`, up to two (two are enough
// to know the text is ambiguous).
QList<QByteArray> NamesShownAs(const QByteArray& folder, const QString& shown)
{
    QList<QByteArray> matches;
    DirHandle dir(::opendir(folder.constData()));
    if (!dir)
        return matches;
    while (const dirent* entry = ::readdir(dir.get())) {
        const QByteArray name(entry->d_name);
        if (QFile::decodeName(name) == shown) {
            matches.append(name);
            if (matches.size() == 2)
                break;
        }
    }
    return matches;
}
}  // namespace

PathOnDisk FindPathOnDisk(const QString& shown)
{
    PathOnDisk result{PathOnDisk::NotFound, QFile::encodeName(shown)};
    if (!shown.startsWith(QLatin1Char('/')))
        return result;
    QByteArray path = "/";
    for (const QString& component : shown.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        QByteArray name = QFile::encodeName(component);
        if (component.contains(QChar::ReplacementCharacter)) {
            const QList<QByteArray> names = NamesShownAs(path, component);
            if (names.isEmpty())
                return result;
            if (names.size() > 1)
                return {PathOnDisk::Ambiguous, {}};
            name = names.first();
        }
        if (!path.endsWith('/'))
            path.append('/');
        path.append(name);
    }
    return {PathOnDisk::Found, path};
}
