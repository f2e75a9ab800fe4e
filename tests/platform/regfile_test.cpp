// REGEDIT4 reading and writing, and loading a machine folder.
#include "platform_test_util.h"

#include <winsim/machine_folder.h>

namespace
{

using platform_test::PlatformTest;
using platform_test::TempFolder;

class RegFileTest : public PlatformTest
{
};

std::string Bytes(const std::string& sKey, const std::string& sName, DWORD* pdwType = nullptr)
{
    std::string sBytes;
    DWORD dwType = 0;
    EXPECT_TRUE(winsim::GetValue(sKey, sName, &dwType, &sBytes)) << sKey << " " << sName;
    if (pdwType)
        *pdwType = dwType;
    return sBytes;
}

TEST_F(RegFileTest, ReadsEveryValueForm)
{
    Import("\xEF\xBB\xBFREGEDIT4\r\n"
           "\r\n"
           "; a comment line\r\n"
           "[HKLM\\Software\\Brenmoor]\r\n"
           "@=\"default\"\r\n"
           "\"Path\"=\"C:\\\\WINDOWS \\\"quoted\\\"\"   ; trailing comment\r\n"
           "  \"Flag\" = dword:0000002A\r\n"
           "\"Short\"=dword:7\r\n"
           "\"Bin\"=hex:01,02,\\\r\n"
           "    03 , 04\r\n"
           "\"Empty\"=hex:\r\n"
           "\"Expand\"=hex(2):25,00\r\n"
           "\"Multi\"=hex(7):61,00,62,00,00\r\n"
           "\"Big\"=hex(a):ff\r\n"
           "\"Name with \\\\ and \\\"\"=\"x\"\r\n"
           "[HKEY_CURRENT_USER\\Software\\Wine]\r\n"
           "\"Version\"=\"win98\"\r\n");
    const std::string sKey = "HKEY_LOCAL_MACHINE\\Software\\Brenmoor";
    DWORD dwType = 0;
    EXPECT_EQ(std::string("default\0", 8), Bytes(sKey, "", &dwType));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), dwType);
    EXPECT_EQ(std::string("C:\\WINDOWS \"quoted\"\0", 20), Bytes(sKey, "Path"));
    EXPECT_EQ(std::string("\x2A\0\0\0", 4), Bytes(sKey, "Flag", &dwType));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), dwType);
    EXPECT_EQ(std::string("\x07\0\0\0", 4), Bytes(sKey, "short"));
    EXPECT_EQ(std::string("\1\2\3\4"), Bytes(sKey, "Bin", &dwType));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), dwType);
    EXPECT_EQ("", Bytes(sKey, "Empty"));
    EXPECT_EQ(std::string("%\0", 2), Bytes(sKey, "Expand", &dwType));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), dwType);
    EXPECT_EQ(std::string("a\0b\0\0", 5), Bytes(sKey, "Multi", &dwType));
    EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), dwType);
    EXPECT_EQ("\xff", Bytes(sKey, "Big", &dwType));
    EXPECT_EQ(10u, dwType);
    EXPECT_EQ(std::string("x\0", 2), Bytes(sKey, "Name with \\ and \""));
    EXPECT_EQ(std::string("win98\0", 6), Bytes("HKCU\\Software\\Wine", "Version"));
}

TEST_F(RegFileTest, DeletionLinesRemoveKeysAndValues)
{
    Import("REGEDIT4\n"
           "[HKEY_LOCAL_MACHINE\\A\\B\\C]\n"
           "[HKEY_LOCAL_MACHINE\\A\\Keep]\n"
           "\"Gone\"=\"1\"\n"
           "\"Stays\"=\"1\"\n");
    Import("REGEDIT4\n"
           "[-HKEY_LOCAL_MACHINE\\a\\b]\n"
           "[HKEY_LOCAL_MACHINE\\A\\Keep]\n"
           "\"gone\"=-\n"
           "[-HKEY_LOCAL_MACHINE\\Never\\There]\n");
    EXPECT_FALSE(winsim::KeyExists("HKLM\\A\\B"));
    EXPECT_TRUE(winsim::KeyExists("HKLM\\A\\Keep"));
    EXPECT_FALSE(winsim::GetValue("HKLM\\A\\Keep", "Gone", nullptr, nullptr));
    EXPECT_TRUE(winsim::GetValue("HKLM\\A\\Keep", "Stays", nullptr, nullptr));
}

TEST_F(RegFileTest, ExportWritesTheWholeRegistryInOrderAndReadsBackIdentically)
{
    Import("REGEDIT4\n"
           "[HKEY_CURRENT_USER\\Software\\Wine]\n"
           "\"Version\"=\"winxp\"\n"
           "[HKEY_LOCAL_MACHINE\\Zeta]\n"
           "[HKEY_LOCAL_MACHINE\\alpha\\Empty]\n"
           "[HKEY_LOCAL_MACHINE\\alpha]\n"
           "\"b\"=dword:00000001\n"
           "@=\"text \\\\ \\\"q\\\"\"\n"
           "\"A\"=hex:00,ff\n");
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "alpha", 0, KEY_ALL_ACCESS, &hKey));
    // Strings whose bytes are not "text and one NUL" must survive as hex(1).
    RegSetValueExA(hKey, "NoNul", 0, REG_SZ, reinterpret_cast<const BYTE*>("ab"), 2);
    RegSetValueExA(hKey, "ZeroSize", 0, REG_SZ, nullptr, 0);
    RegSetValueExA(hKey, "Lines", 0, REG_SZ, reinterpret_cast<const BYTE*>("a\nb"), 4);
    RegSetValueExA(hKey, "WideDword", 0, REG_DWORD, reinterpret_cast<const BYTE*>("12345"), 5);
    RegSetValueExA(hKey, "None", 0, REG_NONE, nullptr, 0);
    RegCloseKey(hKey);

    const std::string sExpected = "REGEDIT4\n"
                                  "\n"
                                  "[HKEY_LOCAL_MACHINE\\alpha]\n"
                                  "@=\"text \\\\ \\\"q\\\"\"\n"
                                  "\"A\"=hex:00,ff\n"
                                  "\"b\"=dword:00000001\n"
                                  "\"Lines\"=hex(1):61,0a,62,00\n"
                                  "\"None\"=hex(0):\n"
                                  "\"NoNul\"=hex(1):61,62\n"
                                  "\"WideDword\"=hex(4):31,32,33,34,35\n"
                                  "\"ZeroSize\"=hex(1):\n"
                                  "\n"
                                  "[HKEY_LOCAL_MACHINE\\alpha\\Empty]\n"
                                  "\n"
                                  "[HKEY_LOCAL_MACHINE\\Zeta]\n"
                                  "\n"
                                  "[HKEY_CURRENT_USER\\Software]\n"
                                  "\n"
                                  "[HKEY_CURRENT_USER\\Software\\Wine]\n"
                                  "\"Version\"=\"winxp\"\n";
    std::string sExported = winsim::ExportReg();
    EXPECT_EQ(sExpected, sExported);

    winsim::Reset();
    Import(sExported);
    EXPECT_EQ(sExported, winsim::ExportReg());
    EXPECT_EQ("ab", Bytes("HKLM\\alpha", "NoNul"));
    EXPECT_EQ("", Bytes("HKLM\\alpha", "ZeroSize"));
}

TEST_F(RegFileTest, LongBinaryValuesAreWrappedAndReadBack)
{
    std::string sData;
    for (int i = 0; i < 300; ++i)
        sData += static_cast<char>(i);
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Blob", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &hKey, nullptr));
    RegSetValueExA(hKey, "Data", 0, REG_BINARY, reinterpret_cast<const BYTE*>(sData.data()),
                   static_cast<DWORD>(sData.size()));
    RegCloseKey(hKey);

    std::string sExported = winsim::ExportReg();
    size_t iStart = 0;
    int nLines = 0;
    while (iStart < sExported.size())
    {
        size_t iEnd = sExported.find('\n', iStart);
        EXPECT_LT(iEnd - iStart, 80u) << sExported.substr(iStart, iEnd - iStart);
        iStart = iEnd + 1;
        ++nLines;
    }
    EXPECT_GT(nLines, 12);
    winsim::Reset();
    Import(sExported);
    EXPECT_EQ(sData, Bytes("HKLM\\Blob", "Data"));
}

TEST_F(RegFileTest, MalformedTextIsRefusedWithItsLineAndChangesNothing)
{
    Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Before]\n\"Value\"=\"1\"\n");
    const std::string sBefore = winsim::ExportReg();

    struct Case
    {
        const char* pszText;
        const char* pszWhere; // the start of the error message
    };
    const Case aCases[] = {
        {"", "m.reg:1: "},
        {"REGEDIT5\n", "m.reg:1: "},
        {"\n\nWindows Registry Editor Version 5.00\n", "m.reg:3: "},
        {"REGEDIT4\n\"Value\"=\"before any key\"\n", "m.reg:2: "},
        {"REGEDIT4\n[HKEY_NOWHERE\\Key]\n", "m.reg:2: "},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", "m.reg:2: "},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n", "m.reg:2: "},
        {"REGEDIT4\n[-HKEY_LOCAL_MACHINE]\n", "m.reg:2: "},
        {"REGEDIT4\n[-HKEY_LOCAL_MACHINE\\A]\n\"V\"=\"1\"\n", "m.reg:3: "},
        {"REGEDIT4\n[HKLM\\New]\n\"V\"=\"open\n", "m.reg:3: "},
        {"REGEDIT4\n[HKLM\\New]\n\"V\"=\"bad \\q escape\"\n", "m.reg:3: "},
        {"REGEDIT4\n[HKLM\\New]\n\"V\"=dword:123456789\n", "m.reg:3: "},
        {"REGEDIT4\n[HKLM\\New]\n\"V\"=dword:\n", "m.reg:3: "},
        {"REGEDIT4\n[HKLM\\New]\n\"V\"=hex:01,zz\n", "m.reg:3: "},
        {"REGEDIT4\n[HKLM\\New]\n\"V\"=hex:01,,02\n", "m.reg:3: "},
        {"REGEDIT4\n[HKLM\\New]\n\"V\"=hex(x):01\n", "m.reg:3: "},
        {"REGEDIT4\n[HKLM\\New]\n\"V\"=hex:01,\\\n  02,\\\n  0g\n", "m.reg:5: "},
        {"REGEDIT4\n[HKLM\\New]\n\"V\"=hex:01,\\\n", "m.reg:3: "},
        {"REGEDIT4\n[HKLM\\New]\n\"V\"=\"1\" junk\n", "m.reg:3: "},
        {"REGEDIT4\n[HKLM\\New]\n\"V\" \"1\"\n", "m.reg:3: "},
        {"REGEDIT4\n[HKLM\\New]\n\"V\"=str:1\n", "m.reg:3: "},
        {"REGEDIT4\n[HKLM\\New]\nplain words\n", "m.reg:3: "},
    };
    for (const Case& test : aCases)
    {
        std::string sError;
        EXPECT_FALSE(winsim::ImportReg(test.pszText, &sError, "m.reg")) << test.pszText;
        EXPECT_EQ(0u, sError.find(test.pszWhere)) << test.pszText << " -> " << sError;
        EXPECT_GT(sError.size(), strlen(test.pszWhere)) << "the reason is given";
        EXPECT_EQ(sBefore, winsim::ExportReg()) << test.pszText;
    }
}

TEST_F(RegFileTest, LoadingAMachineFolderIsAllOrNothing)
{
    TempFolder good;
    platform_test::WriteFileBytes(good / "registry.reg",
                                  "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Good]\n\"V\"=\"1\"\n");
    TempFolder bad;
    const std::string sBadText = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Bad]\n\"V\"=dword:xyz\n";
    platform_test::WriteFileBytes(bad / "registry.reg", sBadText);

    std::string sError;
    ASSERT_TRUE(winsim::LoadMachine(good.Path(), &sError)) << sError;
    EXPECT_TRUE(winsim::KeyExists("HKLM\\Good"));

    EXPECT_FALSE(winsim::LoadMachine(bad.Path(), &sError));
    EXPECT_EQ(bad / "registry.reg:3: ", sError.substr(0, (bad / "registry.reg:3: ").size()))
        << sError;
    EXPECT_TRUE(winsim::KeyExists("HKLM\\Good")) << "the machine in use stays";
    EXPECT_FALSE(winsim::KeyExists("HKLM\\Bad"));
    EXPECT_EQ(sBadText, platform_test::ReadFileBytes(bad / "registry.reg"));

    EXPECT_FALSE(winsim::LoadMachine(good / "missing", &sError));
    EXPECT_NE(std::string::npos, sError.find(good / "missing")) << sError;

    // A folder without registry.reg is a machine with an empty registry.
    TempFolder fresh;
    ASSERT_TRUE(winsim::LoadMachine(fresh.Path(), &sError)) << sError;
    EXPECT_FALSE(winsim::KeyExists("HKLM\\Good"));
}

TEST_F(RegFileTest, HostMainRefusesABadMachineWithStatusTwo)
{
    TempFolder bad;
    platform_test::WriteFileBytes(bad / "registry.reg",
                                  "REGEDIT4\n\n[HKLM\\A]\n\"V\"=hex:1,\n\"W\n");
    std::string sMessage;
    EXPECT_EQ(2, winsim::detail::PrepareHostMachine(bad.Path().c_str(), &sMessage));
    EXPECT_NE(std::string::npos, sMessage.find(bad / "registry.reg:5: ")) << sMessage;
    EXPECT_EQ(std::string::npos, sMessage.find('\n')) << "one line";
    EXPECT_FALSE(platform_test::PathExists(bad / "drive_c"));

    EXPECT_EQ(2, winsim::detail::PrepareHostMachine((bad / "nothing").c_str(), &sMessage));
    EXPECT_NE(std::string::npos, sMessage.find(bad / "nothing")) << sMessage;
    EXPECT_FALSE(platform_test::PathExists(bad / "nothing"));

    TempFolder good;
    EXPECT_EQ(0, winsim::detail::PrepareHostMachine(good.Path().c_str(), &sMessage));
    EXPECT_EQ(0, winsim::detail::PrepareHostMachine(nullptr, &sMessage));
    EXPECT_EQ(0, winsim::detail::PrepareHostMachine("", &sMessage));
}

} // namespace
