#include "JC.h"

TJCForm::TJCForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("JCForm"));
    setWindowTitle(QStringLiteral("读多路寄存器"));
}

void TJCForm::ShowWithPort(uint32_t, const QString&) {}
