// The settings dialog: the modal results, the change handlers with the conversion error and
// the last-valid-value rule, and the typing limit of the baud box.
#include "app/init.h"
#include "app_test_support.h"

#include <QInputMethodEvent>

#include <gtest/gtest.h>
#include <QTest>
#include <QGuiApplication>

#include <QClipboard>
#include <QInputMethodEvent>

using namespace apptest;

namespace {

QComboBox* Baud(const TInitForm& f) {
    return Find<QComboBox>(f, "BTComBox");
}
QComboBox* Port(const TInitForm& f) {
    return Find<QComboBox>(f, "CommNumberComBox");
}

// Replaces the box's text by typing, as a user would: select all, then keys.
void Type(QComboBox* box, const QString& text) {
    box->lineEdit()->selectAll();
    if (text.isEmpty())
        QTest::keyClick(box->lineEdit(), Qt::Key_Backspace);
    else
        QTest::keyClicks(box->lineEdit(), text);
}

// How the dialog is left, and the modal result each way gives. The dialog's own fields
// follow the boxes; the caller looks at them only for OK.
TEST(InitForm, ResultOfEachWayOut) {
    const std::pair<std::function<void(TInitForm&)>, int> ways[] = {
        {[](TInitForm& f) { Find<QPushButton>(f, "BitBtn1")->click(); }, TInitForm::mrOk},
        {[](TInitForm& f) { QTest::keyClick(Baud(f)->lineEdit(), Qt::Key_Return); },
         TInitForm::mrOk},
        {[](TInitForm& f) { Find<QPushButton>(f, "BitBtn2")->click(); }, TInitForm::mrNo},
        {[](TInitForm& f) { QTest::keyClick(Port(f)->lineEdit(), Qt::Key_Escape); },
         TInitForm::mrNo},
        {[](TInitForm& f) { QTest::keyClick(&f, Qt::Key_Escape); }, TInitForm::mrNo},
        {[](TInitForm& f) { f.close(); }, TInitForm::mrCancel}};
    BoxCapture capture;
    TInitForm form;
    for (const auto& [close, result] : ways) {
        DriveModal([&] { form.ShowWithPort(9600, QStringLiteral("COM2")); },
                   [&] {
                       EXPECT_EQ(Baud(form)->currentText() + Port(form)->currentText(), "9600COM2");
                       Baud(form)->setCurrentIndex(Baud(form)->findText("4800"));
                       Type(Port(form), "/dev/ttyUSB0");
                       close(form);
                   });
        EXPECT_EQ(form.result(), result);
        EXPECT_EQ(form.CommBaudRate(), 4800);
        EXPECT_EQ(form.CommPortName(), "/dev/ttyUSB0");
    }
    EXPECT_TRUE(capture.boxes.empty());
}

// The baud text as typed over "4800": each text on the way that is not an integer gives the
// error report and the dialog stays open; OK hands back the last valid number, which may be
// one typed on the way ("12a"). Any integer is taken: there is no range check.
TEST(InitForm, TypedBaudTextHandsBackTheLastValidInteger) {
    const std::tuple<const char*, int32_t, QStringList> cases[] = {
        {"", 4800, {""}},     {"abc", 4800, {"a", "ab", "abc"}},
        {"12a", 12, {"12a"}}, {" 12", 4800, {" ", " 1", " 12"}},
        {"0", 0, {}},         {"-5", -5, {"-"}},
        {"+12", 12, {"+"}},   {"123456", 1234, {}}}; // at most four characters can be typed
    for (const auto& [typed, handedBack, invalid] : cases) {
        SCOPED_TRACE(typed);
        BoxCapture capture;
        TInitForm form;
        DriveModal([&] { form.ShowWithPort(9600, "COM2"); },
                   [&] {
                       Baud(form)->setCurrentIndex(Baud(form)->findText("4800"));
                       Type(Baud(form), QString::fromLatin1(typed));
                       EXPECT_TRUE(form.isVisible());
                       Find<QPushButton>(form, "BitBtn1")->click();
                   });
        std::vector<QString> reports;
        for (const QString& text : invalid)
            reports.push_back(QStringLiteral("'%1' is not a valid integer value.").arg(text));
        EXPECT_EQ(capture.ErrorReports(), reports);
        EXPECT_EQ(form.CommBaudRate(), handedBack);
    }
    // Pasted text is cut to what may still be typed.
    QGuiApplication::clipboard()->setText(QStringLiteral("192001"));
    BoxCapture capture;
    TInitForm form;
    DriveModal([&] { form.ShowWithPort(9600, "COM2"); },
               [&] {
                   Baud(form)->lineEdit()->clear();
                   QTest::keyClick(Baud(form)->lineEdit(), Qt::Key_V, Qt::ControlModifier);
                   Find<QPushButton>(form, "BitBtn1")->click();
               });
    EXPECT_EQ(form.CommBaudRate(), 1920);
    // So is what an input method commits (full-width digits come this way too).
    DriveModal([&] { form.ShowWithPort(9600, "COM2"); },
               [&] {
                   QLineEdit* edit = Baud(form)->lineEdit();
                   edit->clear();
                   for (const char* commit : {"12", "3456"}) {
                       QInputMethodEvent e;
                       e.setCommitString(QString::fromLatin1(commit));
                       QCoreApplication::sendEvent(edit, &e);
                   }
                   Find<QPushButton>(form, "BitBtn1")->click();
               });
    EXPECT_EQ(form.CommBaudRate(), 1234);
}

TEST(StrToInt, WholeTextAsDecimalInteger) {
    const std::pair<const char*, int32_t> good[] = {{"9600", 9600},
                                                    {"-1", -1},
                                                    {"+7", 7},
                                                    {"2147483647", 2147483647},
                                                    {"-2147483648", -2147483647 - 1}};
    for (const auto& [text, value] : good)
        EXPECT_EQ(StrToInt(QString::fromLatin1(text)), value) << text;
    for (const char* text : {"", " 1", "1 ", "0x10", "1.5", "2147483648", "-2147483649", "1-"})
        EXPECT_THROW(StrToInt(QString::fromLatin1(text)), EConvertError) << text;
}

} // namespace
