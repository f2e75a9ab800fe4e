// Loads the test component library the way the Morix does (by full path,
// then the export by name) and checks what each call leaves in the record.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace
{

#ifdef _WIN32
const char chSep = '\\';
typedef BOOL(WINAPI* VendorUninstallFn)(LPCSTR);
#else
const char chSep = '/';
typedef int (*VendorUninstallFn)(const char*);
#endif

std::string TestDir()
{
    const char* pszDir = std::getenv("QVZCON_TEST_DIR");
    return pszDir != nullptr ? pszDir : ".";
}

void SetCallsFile(const std::string& sPath)
{
#ifdef _WIN32
    _putenv(("QVZCON_CALLS=" + sPath).c_str());
#else
    if (sPath.empty())
        unsetenv("QVZCON_CALLS");
    else
        setenv("QVZCON_CALLS", sPath.c_str(), 1);
#endif
}

std::string ReadFile(const std::string& sPath)
{
    std::ifstream file(sPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

class Library
{
public:
    explicit Library(const std::string& sVariant)
    {
        m_sPath = TestDir() + chSep + sVariant + chSep + "qvzcon14.dll";
#ifdef _WIN32
        m_hModule = LoadLibraryA(m_sPath.c_str());
#else
        m_hModule = dlopen(m_sPath.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    }
    ~Library()
    {
        if (m_hModule == nullptr)
            return;
#ifdef _WIN32
        FreeLibrary(m_hModule);
#else
        dlclose(m_hModule);
#endif
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    bool Loaded() const
    {
        return m_hModule != nullptr;
    }
    const std::string& Path() const
    {
        return m_sPath;
    }

    VendorUninstallFn Entry() const
    {
#ifdef _WIN32
        return reinterpret_cast<VendorUninstallFn>(
            reinterpret_cast<void*>(GetProcAddress(m_hModule, "VendorUninstall")));
#else
        return reinterpret_cast<VendorUninstallFn>(dlsym(m_hModule, "VendorUninstall"));
#endif
    }

private:
    std::string m_sPath;
#ifdef _WIN32
    HMODULE m_hModule = nullptr;
#else
    void* m_hModule = nullptr;
#endif
};

std::string CallsPath(const char* pszTag)
{
#ifdef _WIN32
    unsigned long ulPid = GetCurrentProcessId();
#else
    unsigned long ulPid = static_cast<unsigned long>(getpid());
#endif
    std::string sPath = TestDir() + chSep + "calls-" + pszTag + "-" + std::to_string(ulPid);
    std::remove(sPath.c_str());
    return sPath;
}

TEST(ComponentLibrary, RecordsEachCallInOrderOnlyWhileTheVariableIsSet)
{
    Library library("qvzcon14");
    ASSERT_TRUE(library.Loaded()) << library.Path();
    VendorUninstallFn pfnVendorUninstall = library.Entry();
    ASSERT_NE(pfnVendorUninstall, nullptr);

    std::string sCalls = CallsPath("order");
    SetCallsFile("");
    pfnVendorUninstall("Not Recorded");
    SetCallsFile(sCalls);
    EXPECT_TRUE(pfnVendorUninstall("Model 12 USB"));
    EXPECT_TRUE(pfnVendorUninstall("Second  Printer (copy 2)"));
    EXPECT_TRUE(pfnVendorUninstall(""));
    SetCallsFile("");
    pfnVendorUninstall("Not Recorded Either");

    EXPECT_EQ(ReadFile(sCalls), "Model 12 USB\nSecond  Printer (copy 2)\n\n");
    std::remove(sCalls.c_str());
}

TEST(ComponentLibrary, UnwritableRecordIsIgnored)
{
    Library library("qvzcon14");
    ASSERT_TRUE(library.Loaded()) << library.Path();
    VendorUninstallFn pfnVendorUninstall = library.Entry();
    ASSERT_NE(pfnVendorUninstall, nullptr);

    SetCallsFile(TestDir() + chSep + "no-such-folder" + chSep + "calls.txt");
    EXPECT_TRUE(pfnVendorUninstall("Model 12 USB"));
    SetCallsFile("");
}

TEST(ComponentLibrary, NoExportVariantLoadsButOffersNoEntryPoint)
{
    Library library("qvzcon14_noexport");
    ASSERT_TRUE(library.Loaded()) << library.Path();
    EXPECT_EQ(library.Entry(), nullptr);
}

} // namespace
