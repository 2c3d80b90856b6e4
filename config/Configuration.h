#pragma once

#include <QWidget>

// The configuration dialog: slide-show settings, search folders, about.
class Configuration : public QWidget {
    Q_OBJECT
public:
    struct Data {};

    explicit Configuration(Data& data);
    void Form_Load();
};
