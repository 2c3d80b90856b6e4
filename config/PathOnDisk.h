#pragma once

#include <QByteArray>
#include <QString>

// File names are bytes. A name that is not valid UTF-8 reaches a folder
// chooser's answer as text with replacement characters, and that text names
// nothing on disk. The real bytes are found again by matching each such
// component against the raw names in its parent.
struct PathOnDisk {
    enum Outcome {
        Found,      // bytes: the one path that shows as this text (it may not exist)
        Ambiguous,  // two or more names in one folder show as the same text
        NotFound,   // no name shows as one of the components; bytes: the text's encoding
    };
    Outcome outcome = NotFound;
    QByteArray bytes;
};

// `shown` is an absolute path as a chooser shows it. Components that are
// valid text have exactly one encoding and are taken as they are; only those
// with replacement characters are looked up.
PathOnDisk FindPathOnDisk(const QString& shown);
