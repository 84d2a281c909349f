#include "testwindows/dialogs.h"
#include "testwindows/formutil.h"

#include <gtest/gtest.h>

#include <QPlainTextEdit>

using namespace testwindows;

TEST(TextLineCount, LastEmptyLineDoesNotCount) {
    const std::pair<const char*, int> cases[] = {
        {"", 0}, {"1F4", 1}, {"1F4\n", 1}, {"1F4\n\n", 2}, {"\n1F4", 2}, {"\n", 1}, {"a\n\nb", 3}};
    for (const auto& [text, lines] : cases)
        EXPECT_EQ(TextLineCount(QString::fromUtf8(text)), lines) << text;
}

TEST(Log, SentEmptiesOnlyAboveHundredLinesReceivedNever) {
    QPlainTextEdit memo;
    for (int i = 0; i < 50; ++i)
        LogSent(&memo, "1 ");
    EXPECT_EQ(LineCount(&memo), 100);
    LogSent(&memo, "2 "); // exactly 100: not emptied
    EXPECT_EQ(LineCount(&memo), 102);
    LogReceived(&memo, "3 ");
    EXPECT_EQ(LineCount(&memo), 104);
    LogSent(&memo, "4 "); // more than 100: emptied first
    EXPECT_EQ(memo.toPlainText(), QStringLiteral("发送:\n4 "));
}

TEST(CopyDelivery, CopiesAtMostTheBufferAndKeepsTheRest) {
    TReceiveBuffer buffer{};
    buffer.fill(0xEE);
    std::vector<uint8_t> big(2048, 0x11);
    const auto span = CopyDelivery(buffer, big.data(), static_cast<uint16_t>(big.size()));
    EXPECT_EQ(span.size(), 2048u);
    EXPECT_EQ(buffer.back(), 0x11);
    const uint8_t small[] = {1, 2};
    CopyDelivery(buffer, small, 2);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[1], 2);
    EXPECT_EQ(buffer[2], 0x11); // what the earlier delivery left
}

TEST(ErrorReport, FullStopRule) {
    EXPECT_EQ(ui::WithFullStop("Error opening serial port"), "Error opening serial port.");
    EXPECT_EQ(ui::WithFullStop("File handle is not a comm handle "),
              "File handle is not a comm handle ");
    EXPECT_EQ(ui::WithFullStop(""), "");
    EXPECT_EQ(ui::WithFullStop("done."), "done.");
    EXPECT_EQ(ui::WithFullStop(QStringLiteral("写入失败")), QStringLiteral("写入失败."));
}
