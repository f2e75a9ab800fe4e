// Out of memory where the code reports it. This binary replaces the nothrow
// array new of the whole process: an armed size makes the next allocations
// of exactly that many bytes fail.
#include <winspool.h>

#include <cstdlib>
#include <new>
#include <string>

#include "morix_test_util.h"
#include "morix_install.h"
#include "morix_uninstall.h"
#include "qvzvesk/qvzvesk_log.h"
#include "qvzvesk/qvzvesk_registry.h"

namespace
{

std::size_t g_cbFailing = 0;
int g_nFailuresLeft = 0;
int g_nFailed = 0;

void FailNextArrays(std::size_t cbSize, int nCount = 1)
{
    g_cbFailing = cbSize;
    g_nFailuresLeft = nCount;
    g_nFailed = 0;
}

} // namespace

void* operator new[](std::size_t cbSize, const std::nothrow_t&) noexcept
{
    if (g_nFailuresLeft > 0 && cbSize == g_cbFailing)
    {
        --g_nFailuresLeft;
        ++g_nFailed;
        return nullptr;
    }
    // The program frees these with delete[]: the block has to come from the
    // (throwing) array form, or the allocator sees a scalar block released as
    // an array.
    try
    {
        return ::operator new[](cbSize);
    }
    catch (const std::bad_alloc&)
    {
        return nullptr;
    }
}

namespace
{

using morix_test::kRegistry;
using morix_test::kUninstall;
using morix_test::Lines;
using morix_test::MorixTest;
using morix_test::Report;

const size_t kSubkeyNameBuffer = 261; // _MAX_PATH + 1

class AllocationTest : public MorixTest
{
protected:
    void TearDown() override
    {
        FailNextArrays(0, 0);
        MorixTest::TearDown();
    }
};

TEST_F(AllocationTest, StringReadBuffer)
{
    Import("[HKEY_LOCAL_MACHINE\\Soft\\Key]\n\"Text\"=\"sevenb\"");
    FailNextArrays(7);
    CQvCiString sOut = "untouched";
    EXPECT_FALSE(RegGetStringValue("Soft\\Key", "Text", &sOut, true, HKEY_LOCAL_MACHINE));
    EXPECT_EQ(1, g_nFailed);
    EXPECT_EQ(std::string("untouched"), sOut.c_str());
    EXPECT_EQ(Lines({Report(kRegistry, "pbData == 0")}), LogLines());
    EXPECT_EQ(0, winsim::OpenKeyCount());
}

TEST_F(AllocationTest, SubkeyNameBufferOfTheRecursiveDelete)
{
    Import("[HKEY_LOCAL_MACHINE\\T\\Root\\A\\Leaf]\n[HKEY_LOCAL_MACHINE\\T\\Root\\B]");
    // Root's children go B (index 1), then A (index 0); the name buffer
    // allocated after Root's second enumeration is the one for A's child.
    int nSeen = 0;
    winsim::OnCall("RegEnumKeyA", 2,
                   [&nSeen]
                   {
                       ++nSeen;
                       FailNextArrays(kSubkeyNameBuffer);
                   });
    EXPECT_FALSE(RegDeleteKey("T\\Root", true, HKEY_LOCAL_MACHINE));
    EXPECT_EQ(1, nSeen);
    EXPECT_EQ(1, g_nFailed);
    EXPECT_EQ(
        Lines({Report(kRegistry, "pszSubkeyName == 0"),
               Report(kRegistry, "RegRecursiveDeleteKey( hRegSubkey, pszSubkeyName ) == false"),
               Report(kRegistry, "RegRecursiveDeleteKey( hRegKey, sSubkey ) == false"),
               "RegDeleteKey (T\\Root) Failed, lResult = 0xffffffff"}),
        LogLines());
    EXPECT_FALSE(winsim::KeyExists("HKEY_LOCAL_MACHINE\\T\\Root\\B"));
    EXPECT_TRUE(winsim::KeyExists("HKEY_LOCAL_MACHINE\\T\\Root\\A\\Leaf"));
    EXPECT_EQ(0, winsim::OpenKeyCount());
}

TEST_F(AllocationTest, BuffersOfTheValueSearch)
{
    // Usb{P="12345678" (9 bytes), Q=match}: P's value buffer failing ends P's
    // subtree; the search goes on with Q. At the start key the first name
    // buffer failing ends the search.
    Import("[HKEY_LOCAL_MACHINE\\Usb\\P]\n\"HardwareID\"=\"12345678\"\n"
           "[HKEY_LOCAL_MACHINE\\Usb\\P\\Hidden]\n\"HardwareID\"=\"dev\"\n"
           "[HKEY_LOCAL_MACHINE\\Usb\\Q]\n\"HardwareID\"=\"dev\"");
    CQvCiString sLocation = "untouched";
    FailNextArrays(9);
    EXPECT_TRUE(RegFindValueData("Usb", "HardwareID", "dev", &sLocation, HKEY_LOCAL_MACHINE, true));
    EXPECT_EQ(std::string("Usb\\Q"), sLocation.c_str());

    sLocation = "untouched";
    FailNextArrays(kSubkeyNameBuffer);
    EXPECT_FALSE(
        RegFindValueData("Usb", "HardwareID", "dev", &sLocation, HKEY_LOCAL_MACHINE, true));
    EXPECT_EQ(std::string("untouched"), sLocation.c_str());
    EXPECT_EQ(Lines({Report(kRegistry, "pbData == 0"),
                     "RegFindValueData (Usb, HardwareID, dev) Success, *psLocation = Usb\\Q",
                     Report(kRegistry, "pszSubkeyName == 0"),
                     Report(kRegistry, "(fFound = RegFindValueData( hRegKey, sPath, sValueName, "
                                       "sValueData, psLocation, fPartialValueSearch )) == false"),
                     "RegFindValueData (Usb, HardwareID, dev) Failed, lResult = 0, fFound = 0"}),
              LogLines());
    EXPECT_EQ(0, winsim::OpenKeyCount());
}

TEST_F(AllocationTest, PrinterBuffer)
{
    Import("[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\Office]\n"
           "\"Name\"=\"Office\"\n\"Printer Driver\"=\"Model 12\"");
    DWORD cbNeeded = 0;
    DWORD nPrinters = 0;
    EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &cbNeeded, &nPrinters);
    ASSERT_GT(cbNeeded, 0u);
    FailNextArrays(cbNeeded);
    EXPECT_FALSE(ComponentUninstall("Model 12"));
    EXPECT_EQ(
        Lines({Report(kUninstall, "pbPrinterInfo == 0"), "ComponentUninstall (Model 12) Failed"}),
        LogLines());
}

TEST_F(AllocationTest, PortBuffer)
{
    DWORD cbNeeded = 0;
    DWORD nPorts = 0;
    EnumPortsA(nullptr, 2, nullptr, 0, &cbNeeded, &nPorts);
    ASSERT_GT(cbNeeded, 0u);
    int nBefore = winsim::CallCount("EnumPortsA");
    FailNextArrays(cbNeeded);
    EXPECT_FALSE(EnumerateLocalPorts());
    EXPECT_EQ(1, winsim::CallCount("EnumPortsA") - nBefore);
}

TEST_F(AllocationTest, LogExpansionBuffer)
{
    const std::string sLong(300, 'y');
    FailNextArrays(301);
    EXPECT_FALSE(g_LogFile.LogMessage(0, "%s", sLong.c_str()));
    // "Error --> lost" needs 15 bytes; the prefix still goes out.
    FailNextArrays(15);
    g_LogFile.LogError(0, "..\\m.cpp", 42, "Error --> %s", "lost");
    EXPECT_TRUE(g_LogFile.LogMessage(0, "%s", sLong.c_str()));
    EXPECT_EQ(Lines({"[m.cpp, Line N]: ", sLong}), LogLines());
}

} // namespace
