#pragma once

#include <QWidget>

// The compact push-to-talk window that stands in for the radio.
class Form1 : public QWidget {
    Q_OBJECT
public:
    explicit Form1(QWidget *parent = nullptr);
    ~Form1() override;

    void Form_Load();
};
