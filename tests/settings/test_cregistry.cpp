#include <gtest/gtest.h>

#include <QFile>

#include <cstdlib>

#include "settings/AppSettings.h"
#include "settings/cRegistry.h"
#include "tests/settings/store_helpers.h"
#include "tests/support/TempStore.h"

using namespace storetest;

namespace {

const char* kKey = "Software\\Marbleglen";

cRegistry settingsAt(const std::string& valueName, std::int32_t type = REG_SZ)
{
    cRegistry reg;
    reg.setClassKey(HKEY_CURRENT_USER);
    reg.setSectionKey(kKey);
    reg.setValueType(type);
    reg.setValueKey(valueName);
    return reg;
}


}  // namespace

TEST(cRegistry, ANewInstanceReadsItsDefault)
{
    TempStore store;
    cRegistry reg;
    EXPECT_TRUE(VariantIsEmpty(reg.Value()));
    EXPECT_FALSE(reg.KeyExists());
    EXPECT_EQ(reg.ClassKey(), 0);
    EXPECT_EQ(reg.ValueType(), 0);

    reg.setDefault(std::string("fallback"));
    reg.setClassKey(HKEY_CURRENT_USER);
    reg.setSectionKey(kKey);
    EXPECT_EQ(reg.Value(), Variant(std::string("fallback")));
    EXPECT_FALSE(QFile::exists(store.storeFile()));
}

// What Value let stores for each type code and kind of value.
TEST(cRegistry, ValueLetStoresByTypeCodeAndPercentRule)
{
    TempStore store;
    setenv("MG_PICTURES", "/home/me/Pictures", 1);
    struct Case {
        std::int32_t valueType;
        Variant value;
        DWORD storedType;
        Bytes stored;
    } cases[] = {
        {REG_SZ, std::string("abc"), REG_SZ, bytesOf("abc")},
        {REG_SZ, std::int32_t(3), REG_SZ, bytesOf("3")},
        {REG_SZ, std::int16_t(-7), REG_SZ, bytesOf("-7")},
        {REG_SZ, 1.5, REG_SZ, bytesOf("1.5")},
        {REG_SZ, Variant{}, REG_SZ, bytesOf("")},
        {REG_SZ, std::string("%MG_PICTURES%/2025"), REG_EXPAND_SZ, bytesOf("%MG_PICTURES%/2025")},
        {REG_SZ, std::string("100%"), REG_SZ, bytesOf("100%")},
        {REG_SZ, std::string("a%%b"), REG_SZ, bytesOf("a%%b")},
        {REG_SZ, std::string("%x%"), REG_EXPAND_SZ, bytesOf("%x%")},
        {REG_EXPAND_SZ, std::string("plain"), REG_SZ, bytesOf("plain")},
        {REG_BINARY, ByteArray{0, 1, 255}, REG_BINARY, Bytes{0, 1, 255}},
        {REG_BINARY, ByteArray{}, REG_BINARY, Bytes{}},
        {REG_DWORD, std::int32_t(10), REG_DWORD, Bytes{10, 0, 0, 0}},
        {REG_DWORD, std::int16_t(-1), REG_DWORD, Bytes{255, 255, 255, 255}},
        {REG_DWORD_BIG_ENDIAN, std::int32_t(0x01020304), REG_DWORD, Bytes{4, 3, 2, 1}},
    };
    int n = 0;
    for (const auto& c : cases) {
        // Appended: GCC 12 at -O3 warns falsely (-Wrestrict) about "v" + std::to_string(n).
        const std::string name = std::string("v").append(std::to_string(n++));
        SCOPED_TRACE(name);
        cRegistry reg = settingsAt(name, c.valueType);
        reg.setValue(c.value);
        Stored s = get(HKEY_CURRENT_USER, kKey, name);
        EXPECT_EQ(s.rc, 0);
        EXPECT_EQ(s.type, c.storedType);
        EXPECT_EQ(s.data, c.stored);
    }
}

TEST(cRegistry, DwordCodesWriteNothingForValuesThatAreNotIntegers)
{
    TempStore store;
    for (const Variant& v : {Variant(std::string("12")), Variant(1.0), Variant()}) {
        cRegistry reg = settingsAt("n", REG_DWORD);
        EXPECT_NO_THROW(reg.setValue(v));
        EXPECT_EQ(get(HKEY_CURRENT_USER, kKey, "n").rc, ERROR_FILE_NOT_FOUND);
    }
}

TEST(cRegistry, ValueLetFailuresRaiseNumberedErrors)
{
    TempStore store;
    const std::string source = cRegistry::ErrorSource();
    EXPECT_EQ(source, "test_cregistry.cRegistry");
    const std::string setMessage = "Failed to set registry value Key: '-2147483647',Section: "
                                   "'Software\\Marbleglen',Key: 'v' to value: '";
    struct Case {
        std::int32_t valueType;
        Variant value;
        std::int32_t number;
        std::string description;
    } cases[] = {
        {REG_MULTI_SZ, std::string("a"), -2147194455, setMessage + "a'"},
        {REG_NONE, std::int32_t(5), -2147194455, setMessage + "5'"},
        {12, ByteArray{1, 0xAB}, -2147194455, setMessage + "01 AB'"},
        {REG_BINARY, std::string("text"), 26001, "Application-defined or object-defined error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.valueType);
        cRegistry reg = settingsAt("v", c.valueType);
        RegistryError e = raised([&] { reg.setValue(c.value); });
        EXPECT_EQ(e.Number(), c.number);
        EXPECT_EQ(e.Source(), source);
        EXPECT_EQ(e.Description(), c.description);
        EXPECT_EQ(get(HKEY_CURRENT_USER, kKey, "v").rc, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(reg.ValueType(), c.valueType);
    }

    cRegistry noRoot;
    noRoot.setSectionKey("Software\\X");
    noRoot.setValueType(REG_SZ);
    RegistryError e = raised([&] { noRoot.setValue(std::string("v")); });
    EXPECT_EQ(e.Number(), 26001);
    EXPECT_EQ(e.Description(), "Failed to set registry value Key: '0',Section: 'Software\\X',Key: '' to value: 'v'");
    e = raised([&] { noRoot.CreateKey(); });
    EXPECT_EQ(e.Number(), 26001);
    EXPECT_EQ(e.Description(), "Failed to create registry Key: 'Software\\X");
}

// What Value get yields for each stored type, and the type it reports afterwards.
TEST(cRegistry, ValueGetReadsByStoredType)
{
    TempStore store;
    setenv("MG_PICTURES", "/home/me/Pictures", 1);
    unsetenv("MG_UNDEFINED");
    struct Case {
        DWORD type;
        Bytes stored;
        Variant expected;
    } cases[] = {
        {REG_SZ, bytesOf("abc"), std::string("abc")},
        {REG_SZ, Bytes{}, std::string("")},
        {REG_EXPAND_SZ, bytesOf("%MG_PICTURES%/2025"), std::string("/home/me/Pictures/2025")},
        {REG_EXPAND_SZ, bytesOf("%MG_UNDEFINED%/x"), std::string("%MG_UNDEFINED%/x")},
        {REG_MULTI_SZ, Bytes{'a', 0, 'b', 0, 0}, std::string("a\0b\0", 4)},
        {REG_DWORD, Bytes{10, 0, 0, 0}, std::int32_t(10)},
        {REG_DWORD, Bytes{0xFF, 0xFF, 0xFF, 0xFF}, std::int32_t(-1)},
        {REG_DWORD_BIG_ENDIAN, Bytes{0, 0, 0, 10}, std::int32_t(10)},
        {REG_BINARY, Bytes{1, 2, 3}, ByteArray{1, 2, 3}},
        {REG_NONE, Bytes{9}, ByteArray{9}},
        {11, Bytes{1, 0, 0, 0, 0, 0, 0, 0}, ByteArray{1, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        ASSERT_EQ(put(HKEY_CURRENT_USER, kKey, "v", c.type, c.stored), 0);
        cRegistry reg = settingsAt("v", REG_SZ);
        EXPECT_EQ(reg.Value(), c.expected);
        EXPECT_EQ(reg.ValueType(), std::int32_t(c.type));
    }
}

TEST(cRegistry, WrittenValuesReadBackTheSame)
{
    TempStore store;
    const Variant values[] = {std::string("Summer holidays 2025"), std::int32_t(-123456), ByteArray{0, 0, 7},
                              std::string("caf\xC3\xA9")};
    const std::int32_t types[] = {REG_SZ, REG_DWORD, REG_BINARY, REG_SZ};
    for (int i = 0; i < 4; ++i) {
        cRegistry writer = settingsAt("v", types[i]);
        writer.setValue(values[i]);
        EXPECT_EQ(settingsAt("V").Value(), values[i]);
    }
}

TEST(cRegistry, MachineNamesGetTheirLeadingBackslashes)
{
    struct Case {
        const char* given;
        const char* kept;
    } cases[] = {
        {"", ""}, {"ab", ""}, {"\\\\", ""}, {"abc", "\\\\abc"}, {"\\\\pc", "\\\\pc"}, {" pc ", "\\\\ pc "},
    };
    for (const auto& c : cases) {
        cRegistry reg;
        reg.setMachine(c.given);
        EXPECT_EQ(reg.Machine(), c.kept) << c.given;
    }
}

TEST(cRegistry, ARemoteMachineReadsTheDefaultAndWritesNothing)
{
    TempStore store;
    ASSERT_EQ(put(HKEY_CURRENT_USER, kKey, "v", REG_SZ, bytesOf("local")), 0);
    cRegistry reg = settingsAt("v");
    reg.setMachine("server");
    reg.setDefault(std::int32_t(42));
    EXPECT_EQ(reg.Value(), Variant(std::int32_t(42)));
    RegistryError e = raised([&] { reg.setValue(std::string("remote")); });
    EXPECT_EQ(e.Number(), 26001);
    EXPECT_EQ(e.Description(), "Failed to set registry value Key: '-2147483647',Section: "
                               "'Software\\Marbleglen',Key: 'v' to value: 'remote'");
    EXPECT_EQ(get(HKEY_CURRENT_USER, kKey, "v").data, bytesOf("local"));
    // Key tests and creation ignore the machine.
    EXPECT_TRUE(reg.KeyExists());
}

TEST(cRegistry, KeyExistsAndCreateKey)
{
    TempStore store;
    cRegistry reg;
    reg.setClassKey(HKEY_LOCAL_MACHINE);
    reg.setSectionKey("SOFTWARE\\Classes\\.jpg");
    EXPECT_FALSE(reg.KeyExists());
    EXPECT_TRUE(reg.CreateKey());
    EXPECT_TRUE(reg.KeyExists());
    reg.setSectionKey("software\\classes\\.JPG");
    EXPECT_TRUE(reg.KeyExists());
    reg.setClassKey(HKEY_CURRENT_USER);
    EXPECT_FALSE(reg.KeyExists());
}

TEST(cRegistry, ValueExSetsThePropertiesAndAnEmptyTextTakesTheDefault)
{
    TempStore store;
    cRegistry reg;
    Variant newValue = std::string("");
    reg.setValueEx(HKEY_CURRENT_USER, kKey, "t", REG_SZ, std::string("dflt"), newValue);
    EXPECT_EQ(newValue, Variant(std::string("dflt")));
    EXPECT_EQ(get(HKEY_CURRENT_USER, kKey, "t").data, bytesOf("dflt"));

    newValue = std::int32_t(7);
    reg.setValueEx(HKEY_CURRENT_USER, kKey, "d", REG_DWORD, Variant{}, newValue);
    EXPECT_EQ(get(HKEY_CURRENT_USER, kKey, "d").data, (Bytes{7, 0, 0, 0}));

    cRegistry reader;
    EXPECT_EQ(reader.ValueEx(HKEY_CURRENT_USER, kKey, "d", REG_SZ, Variant{}), Variant(std::int32_t(7)));
    EXPECT_EQ(reader.ValueKey(), "d");
    EXPECT_EQ(reader.ValueType(), REG_DWORD);
    EXPECT_EQ(reader.ValueEx(HKEY_CURRENT_USER, kKey, "none", REG_SZ, std::string("x")),
              Variant(std::string("x")));
}

TEST(cRegistry, ADamagedStoreReadsDefaultsAndRefusesWrites)
{
    TempStore store;
    AppSettings::WriteText("txtImageCaption1", "Holidays");
    QFile f(store.storeFile());
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    f.write("garbage garbage!");
    f.close();
    EXPECT_EQ(AppSettings::ReadText("txtImageCaption1"), "");
    RegistryError e = raised([] { AppSettings::WriteText("txtImageCaption1", "New"); });
    EXPECT_EQ(e.Number(), 26001);
}

TEST(AppSettings, ReadsConvertAsTheReadersNeed)
{
    TempStore store;
    EXPECT_EQ(AppSettings::ReadText("varImagePath1"), "");
    EXPECT_EQ(AppSettings::ReadSlideShowType(), 0);
    EXPECT_FALSE(QFile::exists(store.storeFile()));
    // A plain decimal number with blanks around it; anything else is no order.
    struct Case {
        const char* stored;
        std::int16_t read;
    } cases[] = {{"1", 1},    {"2", 2},   {" 2", 2},   {"2 ", 2},   {" 2 ", 2},  {"\t1", 1},   {"2\t", 2},
                 {"02", 2},   {"+1", 1},  {"1.0", 1},  {"1e0", 1},  {"2.5", 2},  {"1.5", 2},   {"0.5", 0},
                 {"3", 3},    {"-1", -1}, {"99999", 0}, {"0x1", 0}, {"0x2", 0},  {"&H1", 0},   {"\n1", 0},
                 {"1 2", 0},  {"1,0", 0}, {"inf", 0},  {"abc", 0},  {"", 0}};
    for (const auto& c : cases) {
        AppSettings::WriteText("varSlideShowType", c.stored);
        EXPECT_EQ(AppSettings::ReadSlideShowType(), c.read) << c.stored;
    }
    AppSettings::WriteText("varSlideShowDelayTime", "3");
    EXPECT_EQ(get(HKEY_CURRENT_USER, kKey, "varSlideShowDelayTime").data, bytesOf("3"));
}
