#include <gtest/gtest.h>

#include <functional>

#include "settings/cRegistry.h"
#include "tests/settings/store_helpers.h"
#include "tests/support/TempStore.h"

using namespace storetest;

namespace {

cRegistry at(HKEY root, const std::string& section, const std::string& value = "")
{
    cRegistry reg;
    reg.setClassKey(root);
    reg.setSectionKey(section);
    reg.setValueKey(value);
    return reg;
}


std::string text(HKEY root, const std::string& key, const std::string& name = "")
{
    Stored s = get(root, key, name);
    if (s.rc)
        return "<missing>";
    EXPECT_EQ(s.type, DWORD(REG_SZ)) << key;
    return std::string(s.data.begin(), s.data.end() - 1);
}

// Checks a default value under both association roots.
void expectClassValue(const std::string& key, const std::string& value)
{
    EXPECT_EQ(text(HKEY_CLASSES_ROOT, key), value) << key;
    EXPECT_EQ(text(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\" + key), value) << key;
}

}  // namespace

TEST(Enumerate, AMissingKeyGivesNothingAndTrue)
{
    TempStore store;
    OneBased<std::string> names;
    names.Append("stale");
    std::int32_t count = 99;
    cRegistry reg = at(HKEY_CURRENT_USER, "Software\\Nowhere");
    EXPECT_TRUE(reg.EnumerateValues(names, count));
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(names.Empty());
    names.Append("stale");
    count = 99;
    EXPECT_TRUE(reg.EnumerateSections(names, count));
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(names.Empty());
}

TEST(Enumerate, ValuesComeBackNumberedFromOneInStoreOrder)
{
    TempStore store;
    for (const char* name : {"varImagePath2", "", "Zeta"})
        ASSERT_EQ(put(HKEY_CURRENT_USER, "S", name, REG_SZ, bytesOf("x")), 0);
    OneBased<std::string> names;
    std::int32_t count = 0;
    EXPECT_TRUE(at(HKEY_CURRENT_USER, "S").EnumerateValues(names, count));
    EXPECT_EQ(count, 3);
    ASSERT_EQ(names.UBound(), 3u);
    EXPECT_EQ(names[1], "varImagePath2");
    EXPECT_EQ(names[2], "");
    EXPECT_EQ(names[3], "Zeta");
    EXPECT_THROW(names[0], std::out_of_range);
    EXPECT_THROW(names[4], std::out_of_range);
}

TEST(Enumerate, SectionsEndEarlyAtANameTooLongForTheBuffer)
{
    TempStore store;
    const std::string fits(254, 'b'), tooLong(255, 'c');
    for (const std::string& k : {std::string("a"), fits, tooLong, std::string("d")})
        ASSERT_EQ(put(HKEY_CURRENT_USER, "S\\" + k, "", REG_SZ, bytesOf("")), 0);
    OneBased<std::string> names;
    std::int32_t count = 0;
    EXPECT_TRUE(at(HKEY_CURRENT_USER, "S").EnumerateSections(names, count));
    EXPECT_EQ(count, 2);
    EXPECT_EQ(names[1], "a");
    EXPECT_EQ(names[2], fits);
}

TEST(Delete, KeysAndValuesOrTheirErrors)
{
    TempStore store;
    ASSERT_EQ(put(HKEY_CURRENT_USER, "A\\B", "v", REG_SZ, bytesOf("x")), 0);
    struct Case {
        std::function<bool()> call;
        std::string description;  // "" for success
    } cases[] = {
        {[] { return at(HKEY_CURRENT_USER, "A").DeleteKey(); },
         "Failed to delete registry Key: '-2147483647',Section: 'A"},
        {[] { return at(HKEY_CURRENT_USER, "A\\B", "none").DeleteValue(); },
         "Failed to delete registry Key: '-2147483647',Section: 'A\\B',Key: 'none"},
        {[] { return at(HKEY_CURRENT_USER, "A\\C", "v").DeleteValue(); },
         "Failed to open key '-2147483647',Section: 'A\\C' for delete access"},
        {[] { return at(HKEY_CURRENT_USER, "A\\B", "V").DeleteValue(); }, ""},
        {[] { return at(HKEY_CURRENT_USER, "A\\B").DeleteKey(); }, ""},
        {[] { return at(HKEY_CURRENT_USER, "A\\B").DeleteKey(); },
         "Failed to delete registry Key: '-2147483647',Section: 'A\\B"},
        {[] { return at(HKEY_LOCAL_MACHINE, "A").DeleteKey(); },
         "Failed to delete registry Key: '-2147483646',Section: 'A"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        bool result = false;
        RegistryError e = raised([&] { result = c.call(); });
        if (c.description.empty()) {
            EXPECT_EQ(e.Number(), 0);
            EXPECT_TRUE(result);
        } else {
            EXPECT_EQ(e.Number(), 26001);
            EXPECT_EQ(e.Description(), c.description);
            EXPECT_EQ(e.Source(), cRegistry::ErrorSource());
        }
    }
    EXPECT_TRUE(at(HKEY_CURRENT_USER, "A").KeyExists());
    EXPECT_FALSE(at(HKEY_CURRENT_USER, "A\\B").KeyExists());
}

TEST(Association, WritesTheClassUnderBothRoots)
{
    TempStore store;
    cRegistry reg;
    reg.CreateEXEAssociation("  /usr/bin/marbleglen  ", "Marbleglen.Text", "Text file", "txt", "", true, "",
                             true, "Ne&w", true, "", 0);
    const std::string q = "\"/usr/bin/marbleglen\"";
    expectClassValue(".txt", "Marbleglen.Text");
    expectClassValue("Marbleglen.Text", "Text file");
    expectClassValue("Marbleglen.Text\\shell\\open", "&Open");
    expectClassValue("Marbleglen.Text\\shell\\open\\command", q + " \"%1\"");
    expectClassValue("Marbleglen.Text\\shell\\print", "&Print");
    expectClassValue("Marbleglen.Text\\shell\\print\\command", q + " /p \"%1\"");
    expectClassValue("Marbleglen.Text\\shell\\add", "&Install txt");
    expectClassValue("Marbleglen.Text\\shell\\add\\command", q + " /a \"%1\"");
    expectClassValue("Marbleglen.Text\\shell\\new", "Ne&w");
    expectClassValue("Marbleglen.Text\\shell\\new\\command", q + " /n \"%1\"");
    expectClassValue("Marbleglen.Text\\DefaultIcon", q + ",0");
    EXPECT_EQ(reg.ClassKey(), HKEY_LOCAL_MACHINE);
    EXPECT_EQ(reg.SectionKey(), "Marbleglen.Text\\DefaultIcon");
    EXPECT_EQ(get(HKEY_CURRENT_USER, "", "").rc, ERROR_FILE_NOT_FOUND);
}

TEST(Association, QuotingTheProgramAndTheOptionalVerbs)
{
    TempStore store;
    struct Case {
        std::string exe, quoted;
    } cases[] = {
        {"/opt/my app/viewer", "\"/opt/my app/viewer\""},
        {"\"/opt/my app/viewer\"", "\"/opt/my app/viewer\""},
        {"  \"/x\"  ", "\"/x\""},
        {"", "\"\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.exe);
        cRegistry reg;
        reg.CreateEXEAssociation(c.exe, "C", "d", "jpg", "View", false, "", false, "", false, "", -1);
        expectClassValue("C\\shell\\open", "View");
        expectClassValue("C\\shell\\open\\command", c.quoted + " \"%1\"");
        for (const char* absent : {"C\\shell\\print", "C\\shell\\add", "C\\shell\\new", "C\\DefaultIcon"}) {
            EXPECT_FALSE(at(HKEY_CLASSES_ROOT, absent).KeyExists()) << absent;
            EXPECT_FALSE(at(HKEY_LOCAL_MACHINE, std::string("SOFTWARE\\Classes\\") + absent).KeyExists());
        }
    }
}

TEST(Association, AdditionalVerbsCheckTheirListAndTheClass)
{
    TempStore store;
    cRegistry reg;
    reg.CreateEXEAssociation("/usr/bin/marbleglen", "Cls", "desc", "mg");

    std::vector<Variant> five(5, std::string("x"));
    RegistryError e = raised([&] { reg.CreateAdditionalEXEAssociations("Cls", five); });
    EXPECT_EQ(e.Number(), -2147194452);
    EXPECT_EQ(e.Description(),
              "Invalid parameter list passed to CreateAdditionalEXEAssociations - expected Name/Text/Command");

    // ClassKey was left at HKEY_LOCAL_MACHINE, where the class is not a top-level key.
    e = raised([&] { reg.CreateAdditionalEXEAssociations("Cls", {}); });
    EXPECT_EQ(e.Number(), -2147194451);
    EXPECT_EQ(e.Description(), "Error - attempt to create additional associations before class defined.");

    reg.setClassKey(HKEY_CLASSES_ROOT);
    EXPECT_NO_THROW(reg.CreateAdditionalEXEAssociations("Cls", {}));
    const std::vector<Variant> six = {std::string("slides"), std::string("&Slide show"), std::string("mg /s \"%1\""),
                                      std::string("edit"),   std::string("&Edit"),       std::string("gimp \"%1\"")};
    reg.setClassKey(HKEY_CLASSES_ROOT);
    reg.CreateAdditionalEXEAssociations("Cls", six);
    expectClassValue("Cls\\shell\\slides", "&Slide show");
    expectClassValue("Cls\\shell\\slides\\command", "mg /s \"%1\"");
    expectClassValue("Cls\\shell\\edit", "&Edit");
    expectClassValue("Cls\\shell\\edit\\command", "gimp \"%1\"");
    OneBased<std::string> verbs;
    std::int32_t count = 0;
    at(HKEY_CLASSES_ROOT, "Cls\\shell").EnumerateSections(verbs, count);
    EXPECT_EQ(verbs.Items(), (std::vector<std::string>{"edit", "open", "slides"}));
}
