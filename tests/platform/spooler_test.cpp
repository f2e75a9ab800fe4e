// The spooler's enumerations and their two-call contract.
#include "platform_test_util.h"

#include <winspool.h>

#include <vector>

namespace
{

using platform_test::PlatformTest;

class SpoolerTest : public PlatformTest
{
protected:
    static void AddPrinter(const std::string& sKey, const std::string& sName,
                           const std::string& sDriver, const std::string& sPort)
    {
        std::string sText =
            "REGEDIT4\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Print\\"
            "Printers\\" +
            sKey + "]\n\"Printer Driver\"=\"" + sDriver + "\"\n\"Port\"=\"" + sPort + "\"\n";
        if (!sName.empty())
            sText += "\"Name\"=\"" + sName + "\"\n";
        Import(sText);
    }

    // True when every string of the records lies in the buffer after the array.
    static bool InStringArea(const BYTE* pbBuffer, size_t cbArray, size_t cbBuffer, const char* psz)
    {
        const BYTE* pb = reinterpret_cast<const BYTE*>(psz);
        return pb >= pbBuffer + cbArray && pb + strlen(psz) < pbBuffer + cbBuffer;
    }
};

TEST_F(SpoolerTest, EnumPortsFollowsTheTwoCallContract)
{
    DWORD cbNeeded = 0xdeadbeef;
    DWORD nReturned = 0xdeadbeef;
    SetLastError(0);
    EXPECT_FALSE(EnumPortsA(nullptr, 2, nullptr, 0, &cbNeeded, &nReturned));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(0u, nReturned);
    ASSERT_EQ(3 * sizeof(PORT_INFO_2A) + 3 * (6 + 14 + 11), cbNeeded);

    std::vector<BYTE> vbBuffer(cbNeeded - 1);
    EXPECT_FALSE(EnumPortsA(nullptr, 2, vbBuffer.data(), cbNeeded - 1, &cbNeeded, &nReturned));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

    vbBuffer.assign(cbNeeded, 0xbd);
    DWORD cbGiven = cbNeeded;
    ASSERT_TRUE(EnumPortsA(nullptr, 2, vbBuffer.data(), cbGiven, &cbNeeded, &nReturned));
    EXPECT_EQ(cbGiven, cbNeeded);
    ASSERT_EQ(3u, nReturned);
    const PORT_INFO_2A* pPorts = reinterpret_cast<const PORT_INFO_2A*>(vbBuffer.data());
    std::vector<std::string> vsNames;
    for (DWORD i = 0; i < nReturned; ++i)
    {
        vsNames.push_back(pPorts[i].pPortName);
        EXPECT_STREQ("Local Monitor", pPorts[i].pMonitorName);
        EXPECT_STREQ("Local Port", pPorts[i].pDescription);
        for (const char* psz :
             {pPorts[i].pPortName, pPorts[i].pMonitorName, pPorts[i].pDescription})
            EXPECT_TRUE(InStringArea(vbBuffer.data(), 3 * sizeof(PORT_INFO_2A), cbGiven, psz));
    }
    EXPECT_EQ((std::vector<std::string>{"COM1:", "FILE:", "LPT1:"}), vsNames);

    EXPECT_FALSE(EnumPortsA(nullptr, 3, vbBuffer.data(), cbGiven, &cbNeeded, &nReturned));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_LEVEL), GetLastError());
    EXPECT_FALSE(EnumPortsA(nullptr, 2, vbBuffer.data(), cbGiven, nullptr, &nReturned));
    EXPECT_EQ(static_cast<DWORD>(RPC_X_NULL_REF_POINTER), GetLastError());
}

TEST_F(SpoolerTest, PortsComeFromTheMachineWhenItListsThem)
{
    Import(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports]\n"
        "\"LPT2:\"=\"\"\n\"USB001\"=\"\"\n");
    DWORD cbNeeded = 0;
    DWORD nReturned = 0;
    EnumPortsA(nullptr, 1, nullptr, 0, &cbNeeded, &nReturned);
    std::vector<BYTE> vbBuffer(cbNeeded);
    ASSERT_TRUE(EnumPortsA(nullptr, 1, vbBuffer.data(), cbNeeded, &cbNeeded, &nReturned));
    ASSERT_EQ(2u, nReturned);
    const PORT_INFO_1A* pPorts = reinterpret_cast<const PORT_INFO_1A*>(vbBuffer.data());
    EXPECT_STREQ("LPT2:", pPorts[0].pName);
    EXPECT_STREQ("USB001", pPorts[1].pName);
}

TEST_F(SpoolerTest, EnumPrintersListsTheMachinesLocalPrinters)
{
    DWORD cbNeeded = 0xdeadbeef;
    DWORD nReturned = 0xdeadbeef;
    DWORD dwScratch = 0;
    EXPECT_TRUE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, reinterpret_cast<LPBYTE>(&dwScratch),
                              4, &cbNeeded, &nReturned));
    EXPECT_EQ(0u, cbNeeded) << "no printers";
    EXPECT_EQ(0u, nReturned);

    AddPrinter("Zeta Printer", "Zeta Printer", "Model 12", "LPT1:");
    AddPrinter("alpha", "", "Other", "FILE:");
    EXPECT_FALSE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, reinterpret_cast<LPBYTE>(&dwScratch),
                               4, &cbNeeded, &nReturned));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    const size_t cbStrings = (13 + 6 + 9) + (6 + 6 + 6);
    ASSERT_EQ(2 * sizeof(PRINTER_INFO_2A) + cbStrings, cbNeeded);

    std::vector<BYTE> vbBuffer(cbNeeded);
    DWORD cbGiven = cbNeeded;
    ASSERT_TRUE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, vbBuffer.data(), cbGiven, &cbNeeded,
                              &nReturned));
    EXPECT_EQ(cbGiven, cbNeeded);
    ASSERT_EQ(2u, nReturned);
    const PRINTER_INFO_2A* pPrinters = reinterpret_cast<const PRINTER_INFO_2A*>(vbBuffer.data());
    // Records come in the order of the Printers key; a missing Name is the key's name.
    EXPECT_STREQ("alpha", pPrinters[0].pPrinterName);
    EXPECT_STREQ("Other", pPrinters[0].pDriverName);
    EXPECT_STREQ("FILE:", pPrinters[0].pPortName);
    EXPECT_STREQ("Zeta Printer", pPrinters[1].pPrinterName);
    EXPECT_STREQ("Model 12", pPrinters[1].pDriverName);
    EXPECT_STREQ("LPT1:", pPrinters[1].pPortName);
    EXPECT_EQ(nullptr, pPrinters[1].pServerName);
    EXPECT_EQ(nullptr, pPrinters[1].pDevMode);
    EXPECT_TRUE(InStringArea(vbBuffer.data(), 2 * sizeof(PRINTER_INFO_2A), cbGiven,
                             pPrinters[1].pPrinterName));

    EXPECT_FALSE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 3, vbBuffer.data(), cbGiven, &cbNeeded,
                               &nReturned));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_LEVEL), GetLastError());
    EXPECT_FALSE(EnumPrintersA(0, nullptr, 2, vbBuffer.data(), cbGiven, &cbNeeded, &nReturned));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), GetLastError());
}

// Exports made from the hives of a machine that is not running have only the
// numbered control sets; SYSTEM\\Select "Current" names the one in use.
TEST_F(SpoolerTest, PrintersComeFromTheCurrentControlSetOfAnExportWithoutOne)
{
    Import("REGEDIT4\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\Select]\n"
           "\"Current\"=dword:00000002\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Control\\Print\\Printers\\Old]\n"
           "\"Printer Driver\"=\"Model 12\"\n"
           "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Control\\Print\\Printers\\Now]\n"
           "\"Printer Driver\"=\"Model 12\"\n");
    BYTE abBuffer[4096];
    DWORD cbNeeded = 0;
    DWORD nReturned = 0;
    ASSERT_TRUE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, abBuffer, sizeof abBuffer, &cbNeeded,
                              &nReturned));
    ASSERT_EQ(1u, nReturned);
    EXPECT_STREQ("Now", reinterpret_cast<PRINTER_INFO_2A*>(abBuffer)->pPrinterName);

    // A CurrentControlSet, when there is one, is what the spooler reads.
    AddPrinter("Live", "", "Model 12", "LPT1:");
    ASSERT_TRUE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, abBuffer, sizeof abBuffer, &cbNeeded,
                              &nReturned));
    ASSERT_EQ(1u, nReturned);
    EXPECT_STREQ("Live", reinterpret_cast<PRINTER_INFO_2A*>(abBuffer)->pPrinterName);
}

TEST_F(SpoolerTest, APrinterAddedBetweenTheTwoCallsMakesTheSecondOneFail)
{
    AddPrinter("One", "One", "Model 12", "LPT1:");
    DWORD cbNeeded = 0;
    DWORD nReturned = 0;
    DWORD dwScratch = 0;
    EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, reinterpret_cast<LPBYTE>(&dwScratch), 4,
                  &cbNeeded, &nReturned);
    std::vector<BYTE> vbBuffer(cbNeeded);
    DWORD cbGiven = cbNeeded;
    winsim::OnCall("EnumPrintersA", 1, [] { AddPrinter("Two", "Two", "Model 12", "LPT2:"); });
    EXPECT_FALSE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, vbBuffer.data(), cbGiven, &cbNeeded,
                               &nReturned));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_GT(cbNeeded, cbGiven);

    // Removing one instead gives a smaller size than the buffer.
    vbBuffer.resize(cbNeeded);
    cbGiven = cbNeeded;
    winsim::OnCall("EnumPrintersA", 1,
                   []
                   {
                       Import(
                           "REGEDIT4\n[-HKEY_LOCAL_"
                           "MACHINE\\System\\CurrentControlSet\\Control\\Print\\Printers\\One]\n");
                   });
    EXPECT_TRUE(EnumPrintersA(PRINTER_ENUM_LOCAL, nullptr, 2, vbBuffer.data(), cbGiven, &cbNeeded,
                              &nReturned));
    EXPECT_LT(cbNeeded, cbGiven);
    EXPECT_EQ(1u, nReturned);
}

} // namespace
