#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <exception>
#include <string>

// Texts the main window shows, made without a window.

// The status bar after a search: F files in D folders below the searched one,
// and how many of those D were not searched because links led into their
// folders too often.
QString SearchStatusText(std::int64_t FileCount, std::int64_t DirCount, std::int64_t NotSearched);

// The status bar and the message after a search that could not finish.
QString SearchFailedText(const QString& reason);
QString SearchFailedMessage(const QByteArray& folder, const QString& reason);

// Why an operation failed, in words for the user.
QString FailureReason(const std::exception_ptr& failure);

// The status bar while a long search runs.
QString SearchProgressText(std::int64_t FileCount);

// A folder's display name as its label shows it: the first 16 characters.
QString CaptionText(const std::string& storedName);

// A path's bytes as readable text. Valid UTF-8 is decoded as such; a byte that
// is not part of a valid UTF-8 sequence is shown as the Latin-1 character of the
// same value, so names written in an older 8-bit encoding stay readable.
QString DisplayPath(const QByteArray& path);
