// Windows paths on the host file system: drive X: is the machine's drive_x/
// folder; names match existing entries without regard to letter case, as they
// would on Windows.
#include "winsim_internal.h"

#include <winsim.h>

#include <algorithm>
#include <string>
#include <vector>
#include <dirent.h>
#include <sys/stat.h>

namespace winsim
{
namespace detail
{
namespace
{

bool IsSeparator(char ch)
{
    return ch == '\\' || ch == '/';
}

bool IsDriveLetter(char ch)
{
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z');
}

bool IsNulDevice(const std::string& sPath)
{
    size_t iLast = sPath.find_last_of("\\/");
    std::string sName = iLast == std::string::npos ? sPath : sPath.substr(iLast + 1);
    if (!sName.empty() && sName.back() == ':')
        sName.pop_back();
    if (iLast == std::string::npos && sName.size() == 4 && sName[1] == ':')
        sName.erase(0, 2); // "C:nul"
    return EqualNoCase(sName, "nul");
}

// The name of an entry of sDir that matches sName: the exact spelling if it
// exists, otherwise the first one (in byte order) that matches ignoring case.
bool FindEntryNoCase(const std::string& sDir, const std::string& sName, std::string* psFound)
{
    struct stat st;
    std::string sExact = (sDir.empty() ? std::string() : sDir + "/") + sName;
    if (lstat(sExact.c_str(), &st) == 0)
    {
        *psFound = sName;
        return true;
    }
    DIR* pDir = opendir(sDir.empty() ? "." : sDir.c_str());
    if (!pDir)
        return false;
    bool fFound = false;
    while (dirent* pEntry = readdir(pDir))
    {
        std::string sEntry(pEntry->d_name);
        if (EqualNoCase(sEntry, sName) && (!fFound || sEntry < *psFound))
        {
            *psFound = sEntry;
            fFound = true;
        }
    }
    closedir(pDir);
    return fFound;
}

} // namespace
} // namespace detail

std::string MapPath(const std::string& sWindowsPath)
{
    using namespace detail;
    std::string sPath = sWindowsPath;
    if (sPath.empty())
        return sPath;
    if (IsNulDevice(sPath))
        return "/dev/null";
    // Host paths are taken as they are.
    if (sPath[0] == '/')
        return sPath;
    if (sPath.compare(0, 4, "\\\\?\\") == 0)
        sPath.erase(0, 4);
    if (sPath.size() >= 2 && IsSeparator(sPath[0]) && IsSeparator(sPath[1]))
    {
        std::replace(sPath.begin(), sPath.end(), '\\', '/');
        return sPath; // network paths have no place on this machine
    }

    std::string sBase; // empty: relative to the current directory
    size_t iRest = 0;
    if (sPath.size() >= 2 && IsDriveLetter(sPath[0]) && sPath[1] == ':')
    {
        sBase = DriveFolder(sPath[0], false);
        iRest = 2;
    }
    else if (IsSeparator(sPath[0]))
        sBase = DriveFolder('C', false);

    std::vector<std::string> vsParts;
    size_t iStart = iRest;
    while (iStart <= sPath.size())
    {
        size_t iEnd = sPath.find_first_of("\\/", iStart);
        if (iEnd == std::string::npos)
            iEnd = sPath.size();
        std::string sPart = sPath.substr(iStart, iEnd - iStart);
        if (sPart == "..")
        {
            if (!vsParts.empty())
                vsParts.pop_back();
        }
        else if (!sPart.empty() && sPart != ".")
            vsParts.push_back(sPart);
        iStart = iEnd + 1;
    }

    // Walk down while the entries exist, taking each one's real spelling; the
    // rest keeps the spelling it was given.
    std::string sResult = sBase;
    bool fResolving = true;
    for (const std::string& sPart : vsParts)
    {
        std::string sName = sPart;
        if (fResolving)
        {
            std::string sFound;
            if (FindEntryNoCase(sResult, sPart, &sFound))
                sName = sFound;
            else
                fResolving = false;
        }
        sResult += (sResult.empty() ? "" : "/") + sName;
    }
    if (sResult.empty())
        sResult = sBase.empty() ? "." : sBase;
    if (IsSeparator(sPath.back()) && sResult.back() != '/' && !vsParts.empty())
        sResult += '/';
    return sResult;
}

} // namespace winsim
