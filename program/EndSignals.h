#pragma once

#include <QObject>

#include <functional>

#include "settings/UniqueFd.h"

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP, as a service manager or a terminal sends them,
// handed to the event loop: the handler only writes the signal's number to a
// pipe, and `ended` runs from the loop when the pipe has something to read.
// One at a time; the signals go back to their defaults when it goes.
class EndSignals : public QObject {
public:
    explicit EndSignals(std::function<void(int signal)> ended);
    ~EndSignals() override;

private:
    void drain();

    std::function<void(int)> ended_;
    UniqueFd read_;
    UniqueFd write_;
    QSocketNotifier* notifier_ = nullptr;
};
