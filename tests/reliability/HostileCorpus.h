#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

// A folder of files no picture folder should hold, for the search and the
// viewer to survive: broken and lying JPEGs, special files, dangling and
// looping links, awkward names, a 2 GB sparse file.
namespace hostile {

struct Entry {
    QByteArray name;      // file-system bytes, relative to the folder
    bool listed;          // whether the search puts it in the image list (else it is
                          // put there by hand: a file swapped after the search)
    enum Outcome { Shown, ErrorPicture, Either };
    Outcome outcome;      // what the viewer shows for it (Either: decoders differ on damage)
    const char* what;
};

// Makes the corpus in folder (which must exist) and says what it made.
std::vector<Entry> make(const QString& folder);

}  // namespace hostile
