// The floor of a Morix run: a program that starts and exits at once, built and
// linked as the Morix is and importing from the same system DLLs, so that
// loading and start-up cost the same and only the Morix's own work differs.
// scripts/bench-wine times the two side by side under Wine.
#include <windows.h>
#include <winspool.h>

namespace
{

// One function of each DLL the Morix imports beyond the runtime's own, read
// through a volatile so the linker cannot drop the imports.
struct Imports
{
    decltype(&RegCloseKey) pfnAdvapi32;
    decltype(&EnumPrintersA) pfnWinspool;
};

volatile Imports g_tImports = {&RegCloseKey, &EnumPrintersA};

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return g_tImports.pfnAdvapi32 != nullptr && g_tImports.pfnWinspool != nullptr ? 0 : 1;
}
