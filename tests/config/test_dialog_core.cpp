#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <set>
#include <string>

#include "config/DialogCore.h"
#include "config/PathOnDisk.h"

TEST(DelayCaption, NamesExactlyTheSevenSliderPositions)
{
    const std::pair<int, const char*> named[] = {
        {1, "Delay:  Half a Second"}, {2, "Delay:  One Second"},   {3, "Delay:  Two Seconds"},
        {4, "Delay:  Three Seconds"}, {5, "Delay:  Five Seconds"}, {6, "Delay:  Ten Seconds"},
        {7, "Delay:  Fifteen Seconds"},
    };
    for (auto [position, caption] : named)
        EXPECT_STREQ(DelayCaption(position), caption) << position;
    for (int outside : {0, -1, 8, 32767, -2147483647 - 1})
        EXPECT_EQ(DelayCaption(outside), nullptr) << outside;
}

TEST(StoredSlideShowType, ProgressiveUnlessANumberOtherThanOne)
{
    const std::pair<std::string, bool> cases[] = {
        {"1", true},    {"2", false},   {"7", false},  {"0", false},   {"-1", false},
        {"abc", true},  {"", true},     {" 1 ", true}, {"1.0", true},  {"1e0", true},
        {"1.5", false}, {"+1", true},   {"1x", true},  {"inf", true},  {"nan", true},
        {"  ", true},   {"2 2", true},  {".", true},   {"-", true},    {"0.1e1", true},
    };
    for (const auto& [text, progressive] : cases)
        EXPECT_EQ(ShowsProgressive(text), progressive) << '"' << text << '"';
}

TEST(StoredDelay, OnlyWholeCodesOneToSevenMoveTheSlider)
{
    const std::pair<std::string, std::optional<std::int32_t>> cases[] = {
        {"1", 1},
        {"5", 5},
        {"7", 7},
        {" 3", 3},
        {"05", 5},
        {"2.5", 2},  // half to even
        {"3.5", 4},
        {"0", std::nullopt},
        {"8", std::nullopt},
        {"-3", std::nullopt},
        {"x", std::nullopt},
        {"", std::nullopt},
        {"5 seconds", std::nullopt},
        {"99999999999", std::nullopt},
        {"1e400", std::nullopt},
    };
    for (const auto& [text, position] : cases)
        EXPECT_EQ(SliderPositionFromText(text), position) << '"' << text << '"';
}

TEST(LastPathComponent, TakesThePartAfterTheLastSlash)
{
    const std::pair<QString, QString> cases[] = {
        {"/home/me/Photos/Summer 2005", "Summer 2005"},
        {"/", ""},
        {"/media/card", "card"},
        {"Holidays", "Holidays"},
        {"", ""},
        {"/home/me/", ""},
        {"/home/me/back\\slash", "back\\slash"},
        {QString::fromUtf8("/home/me/Été à Nîmes"), QString::fromUtf8("Été à Nîmes")},
    };
    for (const auto& [path, name] : cases)
        EXPECT_EQ(LastPathComponent(path), name) << path.toStdString();
}

TEST(PathOnDisk, FindsTheBytesOfNamesThatAreNotValidText)
{
    QTemporaryDir dir;
    const QByteArray root = QFile::encodeName(QDir(dir.path()).canonicalPath());
    const QByteArray folders[] = {"Photos", "caf\xE9", "\xC9t\xE9", "\xC9t\xE9/\xE0 N\xEEmes",
                                  "x\xE9", "x\xE8", "y\xEF\xBF\xBD", "y\xE9"};
    for (const QByteArray& folder : folders)
        ASSERT_EQ(::mkdir((root + "/" + folder).constData(), 0700), 0) << folder.constData();
    auto shown = [&](const QByteArray& relative) { return QFile::decodeName(root + "/" + relative); };

    const struct {
        QByteArray relative;
        PathOnDisk::Outcome outcome;
    } cases[] = {
        {"Photos", PathOnDisk::Found},
        {"caf\xE9", PathOnDisk::Found},
        {"\xC9t\xE9/\xE0 N\xEEmes", PathOnDisk::Found},
        {"Photos/new", PathOnDisk::Found},  // valid text has one encoding, there or not
        {"x\xE9", PathOnDisk::Ambiguous},   // "x\xE8" shows the same
        {"y\xE9", PathOnDisk::Ambiguous},   // so does a name with a real replacement character
        {"z\xE9", PathOnDisk::NotFound},
    };
    for (const auto& c : cases) {
        const PathOnDisk found = FindPathOnDisk(shown(c.relative));
        EXPECT_EQ(found.outcome, c.outcome) << c.relative.constData();
        if (c.outcome == PathOnDisk::Found) {
            EXPECT_EQ(found.bytes, root + "/" + c.relative) << c.relative.constData();
        }
    }
}
