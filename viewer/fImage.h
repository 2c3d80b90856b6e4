#pragma once

#include <QWidget>

#include "viewer/SlideShowData.h"

class QTimer;

// The full-screen viewer. Its form-level data (Data) outlives the window.
class fImage : public QWidget {
    Q_OBJECT
public:
    struct Data {
        SlideShowData slideShow;
    };

    explicit fImage(Data& data);
    void Form_Load();

    void Command1_Click();      // the fit: shows the main window's current entry
    void RandomNumber_Click();  // the random pick
    void SetTimer_Click();      // applies the delay setting to both timers
    void Timer1_Timer();        // one progressive step
    void Timer2_Timer();        // one random step

    QTimer* Timer1 = nullptr;  // progressive step
    QTimer* Timer2 = nullptr;  // random step

private:
    Data& data_;
};
