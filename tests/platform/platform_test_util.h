// Helpers shared by the platform layer's unit tests.
#pragma once

#include <windows.h>
#include <winsim.h>

#include <gtest/gtest.h>

#include <string>

namespace platform_test
{

// Every test starts on an empty in-memory machine with no faults armed.
class PlatformTest : public ::testing::Test
{
protected:
    void SetUp() override { winsim::Reset(); }
    void TearDown() override { winsim::Reset(); }

    // Merges REGEDIT4 text and fails the test if it does not parse.
    static void Import(const std::string& sText)
    {
        std::string sError;
        ASSERT_TRUE(winsim::ImportReg(sText, &sError)) << sError;
    }

    static void SetVersion(const std::string& sVersion)
    {
        Import("REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Wine]\n\"Version\"=\"" + sVersion + "\"\n");
    }
};

// A folder under the system's temp folder, removed with everything in it.
class TempFolder
{
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const { return m_sPath; }
    std::string operator/(const std::string& sName) const { return m_sPath + "/" + sName; }

private:
    std::string m_sPath;
};

// Whole-file helpers that bypass the stand-in fopen.
std::string ReadFileBytes(const std::string& sPath);
void WriteFileBytes(const std::string& sPath, const std::string& sBytes);
bool PathExists(const std::string& sPath);

} // namespace platform_test
