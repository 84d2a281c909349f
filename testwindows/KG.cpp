#include "KG.h"

TKGForm::TKGForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("KGForm"));
    setWindowTitle(QStringLiteral("读开关量测试"));
}

void TKGForm::ShowWithPort(uint32_t, const QString&) {}
