#include "writedemo.h"

TWriteForm::TWriteForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("WriteForm"));
    setWindowTitle(QStringLiteral("写数据演示"));
}

void TWriteForm::ShowWithPort(uint32_t, const QString&) {}
