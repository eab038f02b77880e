#include "compact/Form1.h"

Form1::Form1(QWidget *parent) : QWidget(parent) {}

Form1::~Form1() = default;

void Form1::Form_Load() {}
