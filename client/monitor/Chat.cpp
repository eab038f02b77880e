#include "monitor/Chat.h"

Chat::Chat(QWidget *parent) : QWidget(parent) {}

Chat::~Chat() = default;

void Chat::Form_Load() {}
