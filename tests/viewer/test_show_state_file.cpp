// The saved place of a show, on real files in a temporary folder.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "viewer/ShowStateFile.h"

namespace {

const std::string kFolder = "/media/frame/photos";

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteAll(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::uint64_t H(int i) { return PathHash(kFolder + "/IMG_" + std::to_string(i) + ".jpg"); }

class ShowStateFileTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    std::string path = dir.path().toStdString() + "/state/marbleglen/random-x.state";

    ShowStateFile::Loaded Reopen(ShowStateFile::Order order = ShowStateFile::Random, const std::string& folder = kFolder)
    {
        ShowStateFile file(path, folder, order);
        return file.Open();
    }
};

}  // namespace

TEST_F(ShowStateFileTest, WhatWasShownComesBackAfterAnEndAndANewCycleDropsIt)
{
    {
        ShowStateFile file(path, kFolder, ShowStateFile::Random);
        const auto loaded = file.Open();
        EXPECT_TRUE(loaded.shown.empty());
        EXPECT_TRUE(loaded.problem.empty()) << "a missing file is no problem";
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(file.Shown(H(i), i));
        ASSERT_TRUE(file.Sync());
    }
    EXPECT_EQ(Reopen().shown, (std::vector<std::uint64_t>{H(0), H(1), H(2)}));
    {
        ShowStateFile file(path, kFolder, ShowStateFile::Random);
        file.Open();
        ASSERT_TRUE(file.NewCycle());
        ASSERT_TRUE(file.Shown(H(7), 7));
    }
    const auto loaded = Reopen();
    EXPECT_EQ(loaded.shown, std::vector<std::uint64_t>{H(7)});
    ASSERT_TRUE(loaded.last);
    EXPECT_EQ(loaded.last->index, 7);
    EXPECT_EQ(::access((path + ".new").c_str(), F_OK), -1) << "no temporary file left behind";
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ShowStateFileTest, ProgressiveKeepsTheLastPictureShownAndStaysSmall)
{
    const std::size_t ticks = ShowStateFile::kRewriteAt * 2 + 5;
    {
        ShowStateFile file(path, kFolder, ShowStateFile::Progressive);
        file.Open();
        for (std::size_t i = 0; i < ticks; ++i)
            ASSERT_TRUE(file.Shown(H(static_cast<int>(i)), static_cast<std::int32_t>(i)));
        // Mostly one record a tick: the log is cut to its last record now and then.
        EXPECT_LT(file.BytesWritten() / ticks, 25u);
    }
    const auto loaded = Reopen(ShowStateFile::Progressive);
    EXPECT_TRUE(loaded.shown.empty());
    ASSERT_TRUE(loaded.last);
    EXPECT_EQ(loaded.last->hash, H(static_cast<int>(ticks - 1)));
    EXPECT_EQ(loaded.last->index, static_cast<std::int32_t>(ticks - 1));
    EXPECT_LT(ReadAll(path).size(), ShowStateFile::kRewriteAt * 20 + 100);
}

// Each row spoils a saved file of three pictures in one way and says what
// must come back: damage to the header, or a file of another folder or
// order, starts afresh with a word on it; a torn end keeps what came before.
TEST_F(ShowStateFileTest, DamagedTruncatedOrForeignFilesNeverCarryWrongPlaces)
{
    struct Row {
        const char* what;
        std::function<std::string(const std::string&)> spoil;
        std::size_t shownAfter;
        bool problem;
        ShowStateFile::Order order = ShowStateFile::Random;
        std::string folder = kFolder;
    };
    const std::size_t header = 8 + 12 + kFolder.size() + 4;
    const Row rows[] = {
        {"untouched", [](const std::string& b) { return b; }, 3, false},
        {"empty file", [](const std::string&) { return std::string(); }, 0, true},
        {"cut inside the header", [](const std::string& b) { return b.substr(0, 12); }, 0, true},
        {"header byte flipped", [=](const std::string& b) { auto c = b; c[header - 6] ^= 1; return c; }, 0, true},
        {"text of another program", [](const std::string&) { return std::string("[Settings]\nx=1\n"); }, 0, true},
        {"cut inside the last record", [](const std::string& b) { return b.substr(0, b.size() - 7); }, 2, true},
        {"second record damaged", [=](const std::string& b) { auto c = b; c[header + 20 + 3] ^= 0x40; return c; }, 1, true},
        {"garbage appended", [](const std::string& b) { return b + std::string(33, '\x5a'); }, 3, true},
        {"another folder's file", [](const std::string& b) { return b; }, 0, true, ShowStateFile::Random, "/elsewhere"},
        {"the other order's file", [](const std::string& b) { return b; }, 0, true, ShowStateFile::Progressive},
    };
    for (const Row& row : rows) {
        ::unlink(path.c_str());
        {
            ShowStateFile file(path, kFolder, ShowStateFile::Random);
            file.Open();
            for (int i = 0; i < 3; ++i)
                ASSERT_TRUE(file.Shown(H(i), i));
        }
        WriteAll(path, row.spoil(ReadAll(path)));
        ShowStateFile file(path, row.folder, row.order);
        const auto loaded = file.Open();
        EXPECT_EQ(loaded.shown.size(), row.order == ShowStateFile::Random ? row.shownAfter : 0u) << row.what;
        EXPECT_EQ(!loaded.problem.empty(), row.problem) << row.what << ": " << loaded.problem;
        EXPECT_EQ(loaded.problem.find('\n'), std::string::npos) << row.what;
        // Whatever it found, the file takes new records and reads back whole.
        ASSERT_TRUE(file.Shown(H(9), 9)) << row.what << ": " << file.Error();
        file.Sync();
        const auto again = Reopen(row.order, row.folder);
        EXPECT_TRUE(again.problem.empty()) << row.what << ": " << again.problem;
        ASSERT_TRUE(again.last) << row.what;
        EXPECT_EQ(again.last->hash, H(9)) << row.what;
        if (row.order == ShowStateFile::Random) {
            EXPECT_EQ(again.shown.size(), row.shownAfter + 1) << row.what;
        }
    }
}

TEST_F(ShowStateFileTest, AFileThatCannotBeWrittenSaysSoAndNeverPassesForSaved)
{
    // A plain file where the folder should be: nothing can be created there.
    const std::string blocked = dir.path().toStdString() + "/blocked";
    WriteAll(blocked, "x");
    ShowStateFile file(blocked + "/marbleglen/random-x.state", kFolder, ShowStateFile::Random);
    file.Open();
    EXPECT_FALSE(file.Shown(H(1), 1));
    EXPECT_NE(file.Error().find("blocked/marbleglen"), std::string::npos) << file.Error();
}

TEST(ShowStateFileNames, OneFilePerFolderAndOrderUnderTheStateHome)
{
    const std::string a = ShowStateFile::FileFor("/s", "/media/a", ShowStateFile::Random);
    EXPECT_EQ(a, ShowStateFile::FileFor("/s", "/media/a/", ShowStateFile::Random));
    EXPECT_NE(a, ShowStateFile::FileFor("/s", "/media/a", ShowStateFile::Progressive));
    EXPECT_NE(a, ShowStateFile::FileFor("/s", "/media/b", ShowStateFile::Random));
    EXPECT_EQ(a.rfind("/s/random-", 0), 0u) << a;

    const char* previous = std::getenv("XDG_STATE_HOME");
    const std::string saved = previous ? previous : "";
    setenv("XDG_STATE_HOME", "/tmp/state-home", 1);
    EXPECT_EQ(ShowStateFile::Directory(), "/tmp/state-home/marbleglen");
    setenv("XDG_STATE_HOME", "relative/is/ignored", 1);
    setenv("HOME", std::getenv("HOME") ? std::getenv("HOME") : "/root", 1);
    EXPECT_EQ(ShowStateFile::Directory(), std::string(std::getenv("HOME")) + "/.local/state/marbleglen");
    if (previous)
        setenv("XDG_STATE_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_STATE_HOME");
}
