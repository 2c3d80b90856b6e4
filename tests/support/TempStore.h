#pragma once

#include <QString>
#include <QTemporaryDir>

// Points the settings store at a fresh, empty folder for as long as it lives:
// XDG_CONFIG_HOME is set to a new temporary folder and put back afterwards.
class TempStore {
public:
    TempStore();
    ~TempStore();
    TempStore(const TempStore&) = delete;
    TempStore& operator=(const TempStore&) = delete;

    // The folder that XDG_CONFIG_HOME names.
    QString configHome() const { return dir_.path(); }
    // Where the store file lives (it may not exist yet).
    QString storeFile() const { return dir_.path() + "/marbleglen/registry.db"; }

private:
    QTemporaryDir dir_;
    QByteArray previous_;
    bool hadPrevious_ = false;
};
