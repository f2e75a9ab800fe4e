// Benchmarks of the stand-in at a real machine's size (Google Benchmark).
// Build with the host-release preset; see the README's Performance section.
#include "machine_generator.h"

#include <winsim/regtext_read.h>

#include <winsim.h>

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

// Host files: the real fopen, not the stand-in's runtime one.
#undef fopen

namespace
{

std::string TempFolder(const char* pszWhat)
{
    std::string sTemplate = std::string("/tmp/morix-bench-") + pszWhat + ".XXXXXX";
    std::vector<char> vch(sTemplate.begin(), sTemplate.end());
    vch.push_back('\0');
    if (!mkdtemp(vch.data()))
        abort();
    return vch.data();
}

void WriteFile(const std::string& sPath, const std::string& sText)
{
    FILE* pFile = fopen(sPath.c_str(), "wb");
    if (!pFile || fwrite(sText.data(), 1, sText.size(), pFile) != sText.size() || fclose(pFile))
        abort();
}

// CPU time (user and system) of the finished child processes, in ms.
double ChildCpuMs()
{
    rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Runs a program to its end with its output thrown away; its exit status.
int Run(const std::vector<std::string>& vsArgv, const std::map<std::string, std::string>& env)
{
    pid_t pid = fork();
    if (pid == 0)
    {
        for (const auto& entry : env)
            setenv(entry.first.c_str(), entry.second.c_str(), 1);
        if (!freopen("/dev/null", "w", stdout))
            _exit(126);
        std::vector<char*> vpsz;
        for (const std::string& s : vsArgv)
            vpsz.push_back(const_cast<char*>(s.c_str()));
        vpsz.push_back(nullptr);
        execv(vpsz[0], vpsz.data());
        _exit(127);
    }
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

// The whole uninstall run of the host program, as the scenarios and the
// preview start it: load registry.reg, uninstall, save.
void BM_Win98Uninstall(benchmark::State& state)
{
    size_t nKeys = static_cast<size_t>(state.range(0));
    size_t nMatches = static_cast<size_t>(state.range(1));
    std::string sMachine = bench::Win98Machine(nKeys, nMatches);
    std::string sFolder = TempFolder("uninstall");
    std::filesystem::create_directories(sFolder + "/drive_c/TEMP");
    std::filesystem::create_directories(sFolder + "/drive_c/windows/system32");
    std::map<std::string, std::string> env = {
        {"WINSIM_MACHINE", sFolder}, {"TEMP", "C:\\TEMP"}, {"TMP", "C:\\TEMP"}};
    double dCpuMs = 0;
    for (auto _ : state)
    {
        state.PauseTiming();
        WriteFile(sFolder + "/registry.reg", sMachine);
        std::filesystem::remove_all(sFolder + "/drive_c/TEMP");
        std::filesystem::create_directories(sFolder + "/drive_c/TEMP");
        state.ResumeTiming();
        double dStart = ChildCpuMs();
        if (Run({MORIX_PROGRAM, "-uninstall=Model 12"}, env) != 0)
            state.SkipWithError("the program failed");
        dCpuMs += ChildCpuMs() - dStart;
    }
    state.counters["registry_MB"] = static_cast<double>(sMachine.size()) / 1e6;
    state.counters["program_cpu_ms"] = dCpuMs / static_cast<double>(state.iterations());
    std::filesystem::remove_all(sFolder);
}
BENCHMARK(BM_Win98Uninstall)
    ->ArgsProduct({{1000, 10000, 100000}, {1, 10}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// Parsing REGEDIT4 into a fresh registry: throughput and the memory the tree
// takes per byte of text.
void BM_LoadRegedit4(benchmark::State& state)
{
    std::string sText = bench::XpRegedit4(static_cast<size_t>(state.range(0)) * 1000000);
    double dRatio = 0;
    for (auto _ : state)
    {
        size_t cbBefore = mallinfo2().uordblks;
        auto pRegistry = std::make_unique<winsim::detail::Registry>();
        winsim::detail::RegTreeSink sink(*pRegistry);
        winsim::detail::RegTextReader reader("bench", winsim::detail::RegTextRegedit4, &sink);
        const size_t cbBlock = 1 << 20;
        for (size_t i = 0; i < sText.size(); i += cbBlock)
            reader.Feed(sText.data() + i, std::min(cbBlock, sText.size() - i));
        if (!reader.Finish())
            state.SkipWithError(reader.Error().c_str());
        dRatio = static_cast<double>(mallinfo2().uordblks - cbBefore) /
                 static_cast<double>(sText.size());
        state.PauseTiming();
        pRegistry.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sText.size()));
    state.counters["memory_per_text_byte"] = dRatio;
}
BENCHMARK(BM_LoadRegedit4)->Arg(10)->Arg(50)->Unit(benchmark::kMillisecond);

// A flat key of n subkeys, enumerated by index from first to last: the cost
// of one call must not grow with n.
void BM_EnumKeyByIndex(benchmark::State& state)
{
    winsim::Reset();
    DWORD nKeys = static_cast<DWORD>(state.range(0));
    std::string sText = "REGEDIT4\n";
    char szName[32];
    for (DWORD i = 0; i < nKeys; ++i)
    {
        snprintf(szName, sizeof szName, "%08u", i);
        sText += std::string("[HKEY_LOCAL_MACHINE\\Flat\\") + szName + "]\n";
    }
    std::string sError;
    winsim::ImportReg(sText, &sError);
    HKEY hKey = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Flat", 0, KEY_READ, &hKey);
    DWORD iNext = 0;
    for (auto _ : state)
    {
        DWORD nSubkeys = 0;
        RegQueryInfoKeyA(hKey, nullptr, nullptr, nullptr, &nSubkeys, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr);
        benchmark::DoNotOptimize(RegEnumKeyA(hKey, iNext, szName, sizeof szName));
        iNext = (iNext + 1) % nSubkeys;
    }
    RegCloseKey(hKey);
    winsim::Reset();
}
BENCHMARK(BM_EnumKeyByIndex)->Arg(1000)->Arg(10000)->Arg(100000);

// One value written on a machine folder of a given registry size: the
// record it appends costs the same however large the registry is.
void BM_PersistOneChange(benchmark::State& state)
{
    std::string sFolder = TempFolder("persist");
    WriteFile(sFolder + "/registry.reg",
              bench::XpRegedit4(static_cast<size_t>(state.range(0)) * 1000000));
    std::string sError;
    if (!winsim::LoadMachine(sFolder, &sError))
        state.SkipWithError(sError.c_str());
    HKEY hKey = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brenmoor\\Bench", 0, nullptr, 0, KEY_ALL_ACCESS,
                    nullptr, &hKey, nullptr);
    DWORD dwValue = 0;
    for (auto _ : state)
    {
        ++dwValue;
        RegSetValueExA(hKey, "Counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue), 4);
    }
    RegCloseKey(hKey);
    winsim::Reset();
    std::filesystem::remove_all(sFolder);
}
BENCHMARK(BM_PersistOneChange)->Arg(1)->Arg(10)->Arg(50);

// The preview of an uninstall on a generated XP export of about 100 MB
// (version 5.00, UTF-16LE), end to end: reading, the run, the change list.
void BM_Preview100MB(benchmark::State& state)
{
    std::string sFolder = TempFolder("preview");
    std::string sExport = sFolder + "/hklm.reg";
    std::string sText = bench::XpExportUtf16(static_cast<size_t>(state.range(0)) * 1000000);
    WriteFile(sExport, sText);
    double dCpuMs = 0;
    for (auto _ : state)
    {
        double dStart = ChildCpuMs();
        if (Run({MORIX_PREVIEW, "--machine", sExport, "--", "-uninstall=Model 12"}, {}) != 0)
            state.SkipWithError("the preview failed");
        dCpuMs += ChildCpuMs() - dStart;
    }
    state.counters["export_MB"] = static_cast<double>(sText.size()) / 1e6;
    state.counters["preview_cpu_ms"] = dCpuMs / static_cast<double>(state.iterations());
    std::filesystem::remove_all(sFolder);
}
BENCHMARK(BM_Preview100MB)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

} // namespace

BENCHMARK_MAIN();
