#pragma once

#include <QWidget>

// The text-chat window under the radio.
class mrlxchat : public QWidget {
    Q_OBJECT
public:
    explicit mrlxchat(QWidget *parent = nullptr);
    ~mrlxchat() override;

    void Form_Load();
};
