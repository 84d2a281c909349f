#include "testwindows/dialogs.h"
#include "testwindows/formutil.h"

#include <gtest/gtest.h>

using namespace testwindows;

TEST(TextLineCount, LastEmptyLineDoesNotCount) {
    const std::pair<const char*, int> cases[] = {
        {"", 0}, {"1F4", 1}, {"1F4\n", 1}, {"1F4\n\n", 2}, {"\n1F4", 2}, {"\n", 1}, {"a\n\nb", 3}};
    for (const auto& [text, lines] : cases)
        EXPECT_EQ(TextLineCount(QString::fromUtf8(text)), lines) << text;
}

TEST(ErrorReport, FullStopRule) {
    EXPECT_EQ(ui::WithFullStop("Error opening serial port"), "Error opening serial port.");
    EXPECT_EQ(ui::WithFullStop("File handle is not a comm handle "),
              "File handle is not a comm handle ");
    EXPECT_EQ(ui::WithFullStop(""), "");
    EXPECT_EQ(ui::WithFullStop("done."), "done.");
    EXPECT_EQ(ui::WithFullStop(QStringLiteral("写入失败")), QStringLiteral("写入失败."));
}
