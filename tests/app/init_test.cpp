// The settings dialog: its texts, the modal results, the change handlers with the conversion
// error and the last-valid-value rule, and the typing limit of the baud box.
#include "app/init.h"
#include "app_test_support.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace apptest;

namespace {

QComboBox* Baud(const TInitForm& f) {
    return Find<QComboBox>(f, "BTComBox");
}
QComboBox* Port(const TInitForm& f) {
    return Find<QComboBox>(f, "CommNumberComBox");
}

QStringList Items(const QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    return items;
}

// Replaces the box's text by typing, as a user would: select all, then keys.
void Type(QComboBox* box, const QString& text) {
    box->lineEdit()->selectAll();
    if (text.isEmpty())
        QTest::keyClick(box->lineEdit(), Qt::Key_Backspace);
    else
        QTest::keyClicks(box->lineEdit(), text);
}

TEST(InitForm, CaptionsTextsAndLists) {
    TInitForm form;
    EXPECT_EQ(form.windowTitle(), QStringLiteral("设置"));
    EXPECT_EQ(Find<QLabel>(form, "Label3")->text(), QStringLiteral("通讯口："));
    EXPECT_EQ(Find<QLabel>(form, "Label2")->text(), QStringLiteral("波特率："));
    auto* ok = Find<QPushButton>(form, "BitBtn1");
    auto* no = Find<QPushButton>(form, "BitBtn2");
    EXPECT_EQ(ok->text(), QStringLiteral("确定"));
    EXPECT_EQ(no->text(), QStringLiteral("取消"));
    EXPECT_TRUE(ok->isDefault());
    EXPECT_FALSE(ok->icon().isNull());
    EXPECT_FALSE(no->icon().isNull());
    EXPECT_EQ(Items(Port(form)), QStringList({"COM1", "COM2", "COM3", "COM4"}));
    EXPECT_EQ(Items(Baud(form)),
              QStringList({"19200", "9600", "4800", "2400", "1200", "600", "300"}));
    EXPECT_TRUE(Port(form)->isEditable());
    EXPECT_TRUE(Baud(form)->isEditable());
    EXPECT_EQ(form.font().family(), QStringLiteral("宋体"));
    EXPECT_EQ(form.font().pixelSize(), 12);
    EXPECT_TRUE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
}

// How the dialog is left, and the modal result each way gives.
struct CloseCase {
    const char* name;
    std::function<void(TInitForm&)> close;
    int result;
};

void PrintTo(const CloseCase& c, std::ostream* os) {
    *os << c.name;
}

class InitFormClose : public ::testing::TestWithParam<CloseCase> {};

TEST_P(InitFormClose, ResultAndValuesOfEachWayOut) {
    BoxCapture capture;
    TInitForm form;
    DriveModal([&] { form.ShowWithPort(9600, QStringLiteral("COM2")); },
               [&] {
                   EXPECT_EQ(Baud(form)->currentText(), "9600");
                   EXPECT_EQ(Port(form)->currentText(), "COM2");
                   Baud(form)->setCurrentIndex(Baud(form)->findText("4800"));
                   Port(form)->setCurrentIndex(Port(form)->findText("COM3"));
                   GetParam().close(form);
               });
    EXPECT_EQ(form.result(), GetParam().result);
    // The dialog's own fields follow the boxes; the caller looks at them only for OK.
    EXPECT_EQ(form.CommBaudRate(), 4800);
    EXPECT_EQ(form.CommPortName(), "COM3");
    EXPECT_TRUE(capture.boxes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Ways, InitFormClose,
    ::testing::Values(
        CloseCase{"OkButton", [](TInitForm& f) { Find<QPushButton>(f, "BitBtn1")->click(); },
                  TInitForm::mrOk},
        CloseCase{"EnterKey",
                  [](TInitForm& f) { QTest::keyClick(Baud(f)->lineEdit(), Qt::Key_Return); },
                  TInitForm::mrOk},
        CloseCase{"CancelButton", [](TInitForm& f) { Find<QPushButton>(f, "BitBtn2")->click(); },
                  TInitForm::mrNo},
        CloseCase{"EscInBox",
                  [](TInitForm& f) { QTest::keyClick(Port(f)->lineEdit(), Qt::Key_Escape); },
                  TInitForm::mrNo},
        CloseCase{"EscOnDialog", [](TInitForm& f) { QTest::keyClick(&f, Qt::Key_Escape); },
                  TInitForm::mrNo},
        CloseCase{"CloseBox", [](TInitForm& f) { f.close(); }, TInitForm::mrCancel}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InitForm, EachShowingStartsFromTheCallersValues) {
    BoxCapture capture;
    TInitForm form;
    // Edits abandoned in one showing (a typed port, a chosen baud rate) never reappear.
    DriveModal([&] { form.ShowWithPort(9600, "COM2"); },
               [&] {
                   Type(Port(form), "COM9");
                   Baud(form)->setCurrentIndex(0);
                   Find<QPushButton>(form, "BitBtn2")->click();
               });
    const std::pair<int32_t, QString> shown[] = {{9600, "COM2"}, {300, "/dev/ttyUSB0"}, {-1, ""}};
    for (const auto& [baud, port] : shown) {
        DriveModal([&] { form.ShowWithPort(baud, port); },
                   [&] {
                       EXPECT_EQ(Baud(form)->currentText(), QString::number(baud));
                       EXPECT_EQ(Port(form)->currentText(), port);
                       form.close();
                   });
        EXPECT_EQ(form.CommBaudRate(), baud);
        EXPECT_EQ(form.CommPortName(), port);
    }
    EXPECT_TRUE(capture.boxes.empty());
}

TEST(InitForm, TypedPortNameIsTakenAsItIs) {
    BoxCapture capture;
    TInitForm form;
    for (const QString name : {"COM9", "/dev/ttyUSB0", "", "com1 "}) {
        DriveModal([&] { form.ShowWithPort(9600, "COM2"); },
                   [&] {
                       Type(Port(form), name);
                       Find<QPushButton>(form, "BitBtn1")->click();
                   });
        EXPECT_EQ(form.result(), TInitForm::mrOk);
        EXPECT_EQ(form.CommPortName(), name);
    }
    EXPECT_TRUE(capture.boxes.empty());
}

// The baud text as typed over "4800": each text on the way that is not an integer gives the
// error report and the dialog stays open; OK hands back the last valid number, which may be
// one typed on the way ("12a"). Any integer is taken: there is no range check.
TEST(InitForm, TypedBaudTextHandsBackTheLastValidInteger) {
    struct Case {
        const char* typed;
        int32_t handedBack;
        QStringList invalid; // the texts reported, in order
    };
    const Case cases[] = {
        {"", 4800, {""}},
        {"abc", 4800, {"a", "ab", "abc"}},
        {"12a", 12, {"12a"}},
        {"-", 4800, {"-"}},
        {" 12", 4800, {" ", " 1", " 12"}},
        {"0", 0, {}},
        {"110", 110, {}},
        {"-5", -5, {"-"}},
        {"+12", 12, {"+"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        BoxCapture capture;
        TInitForm form;
        DriveModal([&] { form.ShowWithPort(9600, "COM2"); },
                   [&] {
                       Baud(form)->setCurrentIndex(Baud(form)->findText("4800"));
                       Type(Baud(form), QString::fromLatin1(c.typed));
                       EXPECT_TRUE(form.isVisible());
                       Find<QPushButton>(form, "BitBtn1")->click();
                   });
        std::vector<QString> reports;
        for (const QString& text : c.invalid)
            reports.push_back(QStringLiteral("'%1' is not a valid integer value.").arg(text));
        EXPECT_EQ(capture.ErrorReports(), reports);
        EXPECT_EQ(form.result(), TInitForm::mrOk);
        EXPECT_EQ(form.CommBaudRate(), c.handedBack);
        EXPECT_EQ(Baud(form)->currentText(), QString::fromLatin1(c.typed));
    }
}

TEST(InitForm, AtMostFourCharactersCanBeTypedButTheListGivesFive) {
    BoxCapture capture;
    TInitForm form;
    DriveModal([&] { form.ShowWithPort(9600, "COM2"); },
               [&] {
                   QLineEdit* edit = Baud(form)->lineEdit();
                   edit->end(false);
                   QTest::keyClick(edit, Qt::Key_1); // a fifth character
                   EXPECT_EQ(edit->text(), "9600");
                   EXPECT_EQ(form.CommBaudRate(), 9600);

                   Baud(form)->setCurrentIndex(Baud(form)->findText("19200"));
                   EXPECT_EQ(edit->text(), "19200");
                   EXPECT_EQ(form.CommBaudRate(), 19200);
                   edit->end(false);
                   QTest::keyClick(edit, Qt::Key_0); // longer still: refused as well
                   EXPECT_EQ(edit->text(), "19200");
                   QTest::keyClick(edit, Qt::Key_Backspace); // shortening is typing too
                   EXPECT_EQ(edit->text(), "1920");
                   EXPECT_EQ(form.CommBaudRate(), 1920);

                   Type(Baud(form), "123456"); // over a selection: only four get in
                   EXPECT_EQ(edit->text(), "1234");

                   QGuiApplication::clipboard()->setText("98765");
                   edit->selectAll();
                   QTest::keySequence(edit, QKeySequence::Paste); // pasting is cut to fit
                   EXPECT_EQ(edit->text(), "9876");
                   EXPECT_EQ(form.CommBaudRate(), 9876);
                   Find<QPushButton>(form, "BitBtn1")->click();
               });
    EXPECT_EQ(form.CommBaudRate(), 9876);
    EXPECT_TRUE(capture.ErrorReports().empty());
}

TEST(StrToInt, WholeTextAsDecimalInteger) {
    const std::pair<const char*, int32_t> good[] = {{"9600", 9600},
                                                    {"0", 0},
                                                    {"-1", -1},
                                                    {"+7", 7},
                                                    {"2147483647", 2147483647},
                                                    {"-2147483648", -2147483647 - 1},
                                                    {"007", 7}};
    for (const auto& [text, value] : good)
        EXPECT_EQ(StrToInt(QString::fromLatin1(text)), value) << text;
    for (const char* text : {"", " ", " 1", "1 ", "abc", "0x10", "$10", "1.5", "2147483648",
                             "-2147483649", "++1", "1-"}) {
        try {
            StrToInt(QString::fromLatin1(text));
            ADD_FAILURE() << "no error for '" << text << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "'" + std::string(text) + "' is not a valid integer value");
        }
    }
}

} // namespace
