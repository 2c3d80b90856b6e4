// A damaged or foreign settings file: the main window still opens with blank
// captions and no message, writing fails with the set-value error, and the
// file stays byte for byte as it was.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QRandomGenerator>

#include <sqlite3.h>

#include <functional>

#include "app/CaptionLabel.h"
#include "app/frmSearch.h"
#include "app/runtime_services.h"
#include "settings/AppSettings.h"
#include "tests/support/TempStore.h"

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

// A store as the program writes it, with all four captions set.
QByteArray realStore(const TempStore& s)
{
    for (int i = 1; i <= 4; ++i)
        AppSettings::WriteText("txtImageCaption" + std::to_string(i), "Folder " + std::to_string(i));
    AppSettings::WriteText("varImagePath1", "/home/user/Pictures");
    return readAll(s.storeFile());
}

QByteArray foreignDatabase(const TempStore& s)
{
    sqlite3* db = nullptr;
    const QByteArray path = (s.configHome() + "/foreign.db").toLocal8Bit();
    sqlite3_open(path.constData(), &db);
    sqlite3_exec(db, "CREATE TABLE vals(name TEXT, data TEXT); INSERT INTO vals VALUES('txtImageCaption1','x');",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return readAll(QString::fromLocal8Bit(path));
}

struct Damage {
    const char* name;
    std::function<QByteArray(const TempStore&)> make;
};

const Damage kDamages[] = {
    {"random bytes",
     [](const TempStore&) {
         QByteArray b(8192, '\0');
         QRandomGenerator gen(7);
         for (auto& c : b)
             c = static_cast<char>(gen.bounded(256));
         return b;
     }},
    {"header only", [](const TempStore& s) { return realStore(s).left(100); }},
    {"first page only", [](const TempStore& s) { return realStore(s).left(4096); }},
    {"text file", [](const TempStore&) { return QByteArray("txtImageCaption1=Holidays\n"); }},
    {"foreign database", foreignDatabase},
    {"wrong identifier",
     [](const TempStore& s) {
         QByteArray b = realStore(s);
         b[68] = static_cast<char>(b[68] ^ 0x55);  // the application id in the header
         return b;
     }},
};

class DamagedStore : public ::testing::TestWithParam<Damage> {
protected:
    void SetUp() override
    {
        previousBox_ = setMsgBoxHook([this](const QString& text) { messages.push_back(text); });
    }
    void TearDown() override
    {
        delete window_.data();
        setMsgBoxHook(previousBox_);
    }

    TempStore settings_;
    QStringList messages;
    frmSearch::Data data_;
    QPointer<frmSearch> window_;
    MsgBoxHook previousBox_;
};

TEST_P(DamagedStore, OpensBlankFailsWritesAndLeavesTheFileAlone)
{
    const QByteArray damaged = GetParam().make(settings_);
    writeAll(settings_.storeFile(), damaged);

    window_ = new frmSearch(data_, *ProgramContext::running());
    window_->Form_Load();
    window_->show();
    for (CaptionLabel* l : {window_->lblImageCaption1, window_->lblImageCaption2, window_->lblImageCaption3,
                            window_->lblImageCaption4})
        EXPECT_EQ(l->Caption().trimmed(), QString()) << l->objectName().toStdString();
    EXPECT_TRUE(messages.isEmpty()) << messages.join('|').toStdString();

    try {
        AppSettings::WriteText("txtImageCaption1", "New name");
        ADD_FAILURE() << "a write to a damaged store succeeded";
    } catch (const RegistryError& e) {
        EXPECT_EQ(e.Description().rfind("Failed to set registry value", 0), 0u) << e.Description();
    }
    EXPECT_EQ(AppSettings::ReadText("txtImageCaption1"), "");

    EXPECT_EQ(readAll(settings_.storeFile()), damaged);
    EXPECT_FALSE(QFile::exists(settings_.storeFile() + "-journal"));
}

INSTANTIATE_TEST_SUITE_P(Kinds, DamagedStore, ::testing::ValuesIn(kDamages),
                         [](const auto& info) {
                             std::string n = info.param.name;
                             for (char& c : n)
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return n;
                         });

}  // namespace
