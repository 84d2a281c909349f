#pragma once
// Placeholder: the window is being built; only its construction and ShowWithPort exist.

#include <QDialog>
#include <QString>

#include <cstdint>

class TJCForm : public QDialog {
    Q_OBJECT
public:
    explicit TJCForm(QWidget* parent = nullptr);
    // Applies the settings to the window's port, opens it and shows the window modally;
    // returns when it has been closed. Throws ECommsError when the port cannot be opened.
    void ShowWithPort(uint32_t baudRate, const QString& commName);
};
