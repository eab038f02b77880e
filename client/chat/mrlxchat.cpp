#include "chat/mrlxchat.h"

mrlxchat::mrlxchat(QWidget *parent) : QWidget(parent) {}

mrlxchat::~mrlxchat() = default;

void mrlxchat::Form_Load() {}
