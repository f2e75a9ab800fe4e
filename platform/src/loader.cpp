// LoadLibraryA and friends: a "DLL" on the host is a shared object at the
// mapped Windows path, so one component source builds for both targets.
#include "fault_gate.h"
#include "winsim_internal.h"

#include <winsim.h>

#include <cstring>
#include <dlfcn.h>
#include <sys/stat.h>

using winsim::detail::Fails;

namespace
{

// Loaded modules and how often each was loaded, so FreeLibrary can tell a
// module handle from anything else.
std::map<void*, int>& Modules()
{
    static auto* pModules = winsim::detail::KeptUntilExit(new std::map<void*, int>);
    return *pModules;
}

bool IsFile(const std::string& sPath)
{
    struct stat st;
    return stat(sPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A bare module name is looked for where Windows looks: the system folder,
// the Windows folder, then the current folder. Without an extension it gets ".dll".
std::string FindModule(const std::string& sName)
{
    if (sName.find_first_of("\\/:") != std::string::npos)
        return winsim::MapPath(sName);
    std::string sFile = sName;
    if (sFile.find('.') == std::string::npos)
        sFile += ".dll";
    for (const std::string& sFolder :
         {winsim::detail::SystemDirectory(), winsim::detail::WindowsDirectory()})
    {
        std::string sPath = winsim::MapPath(sFolder + "\\" + sFile);
        if (IsFile(sPath))
            return sPath;
    }
    std::string sLocal = winsim::MapPath(sFile);
    return sLocal.find('/') == std::string::npos ? "./" + sLocal : sLocal;
}

} // namespace

namespace winsim
{
namespace detail
{

void ResetLoader()
{
    for (auto& entry : Modules())
    {
        for (int i = 0; i < entry.second; ++i)
            dlclose(entry.first);
    }
    Modules().clear();
}

} // namespace detail

int LoadedLibraryCount()
{
    int nLoaded = 0;
    for (const auto& entry : Modules())
        nLoaded += entry.second;
    return nLoaded;
}

} // namespace winsim

HMODULE LoadLibraryA(LPCSTR lpLibFileName)
{
    if (Fails("LoadLibraryA"))
        return nullptr;
    if (!lpLibFileName || !*lpLibFileName)
    {
        winsim::detail::SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string sPath = FindModule(lpLibFileName);
    if (!IsFile(sPath))
    {
        winsim::detail::SetLastErrorValue(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void* pModule = dlopen(sPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!pModule)
    {
        // The file is there but is no loadable module, as Windows says of a
        // file that is not a PE image.
        winsim::detail::SetLastErrorValue(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    ++Modules()[pModule];
    return static_cast<HMODULE>(pModule);
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    if (Fails("GetProcAddress"))
        return nullptr;
    auto it = Modules().find(hModule);
    if (it == Modules().end())
    {
        winsim::detail::SetLastErrorValue(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Ordinals (values below 0x10000) have no meaning for a shared object.
    if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000)
    {
        winsim::detail::SetLastErrorValue(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void* pSymbol = dlsym(hModule, lpProcName);
    if (!pSymbol)
    {
        winsim::detail::SetLastErrorValue(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    FARPROC pfn;
    static_assert(sizeof pfn == sizeof pSymbol, "function and data pointers differ in size");
    memcpy(&pfn, &pSymbol, sizeof pfn);
    return pfn;
}

// A reference once handed back is released even when the call reports a failure.
BOOL FreeLibrary(HMODULE hLibModule)
{
    bool fFails = Fails("FreeLibrary");
    auto it = Modules().find(hLibModule);
    if (it == Modules().end())
    {
        if (!fFails)
            winsim::detail::SetLastErrorValue(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    dlclose(hLibModule);
    if (--it->second == 0)
        Modules().erase(it);
    return fFails ? FALSE : TRUE;
}
