#pragma once

#include <QWidget>

// The channel-activity panel beside the radio.
class Chat : public QWidget {
    Q_OBJECT
public:
    explicit Chat(QWidget *parent = nullptr);
    ~Chat() override;

    void Form_Load();
};
