// The current user of the previewed machine. NT exports and NTUSER.DAT give
// HKEY_CURRENT_USER itself; a 9x machine's whole-registry export and its
// USER.DAT give HKEY_USERS, where HKEY_CURRENT_USER is .DEFAULT unless
// someone is logged on with a profile of their own.
#include "preview.h"

#include <winsim/codepage.h>

namespace preview
{

using namespace winsim::detail;

namespace
{

const char kCurrentUser[] = "HKEY_CURRENT_USER";
const char kDefaultUser[] = ".DEFAULT";

void CopyInto(const RegKey& from, RegKey& to, const FILETIME& ftNow)
{
    for (const RegValue& value : from.vValues)
        SetValueBytes(to, value.Name(), value.dwType, value.Bytes());
    for (const std::shared_ptr<RegKey>& pChild : from.vpSubkeys)
    {
        bool fCreated = false;
        CopyInto(*pChild, *ChildFor(to, pChild->sName, &fCreated, ftNow, OriginalName(*pChild)),
                 ftNow);
    }
}

void Clear(RegKey& key)
{
    while (!key.vpSubkeys.empty())
    {
        std::shared_ptr<RegKey> pChild = key.vpSubkeys.back();
        RemoveSubkey(key, *pChild);
    }
    while (!key.vValues.empty())
    {
        std::string sName(key.vValues.back().Name());
        DeleteValue(key, sName);
    }
}

} // namespace

bool ChooseCurrentUser(const std::vector<InputFile>& vFiles, const std::string& sUser,
                       Registry& registry, CurrentUser* pUser, std::string* psError)
{
    *pUser = CurrentUser();
    for (const InputFile& file : vFiles)
        for (const std::string& sPlace : file.vsPlaces)
            if (pUser->sFile.empty() &&
                EqualNoCase(sPlace.substr(0, sizeof kCurrentUser - 1), kCurrentUser))
                pUser->sFile = file.sPath;
    if (!pUser->sFile.empty())
    {
        pUser->eSource = CurrentUser::FromInput;
        if (!sUser.empty())
        {
            *psError = "--user " + sUser + ": " + pUser->sFile +
                       " gives HKEY_CURRENT_USER itself; --user picks a user of HKEY_USERS "
                       "when no input gives one";
            return false;
        }
        return true;
    }
    RegKey& users = *registry.apRoots[RootUsers];
    const std::string sWanted = sUser.empty() ? kDefaultUser : sUser;
    const std::shared_ptr<RegKey>* ppUser = FindChild(users, sWanted);
    if (!ppUser)
    {
        if (sUser.empty())
            return true;
        std::string sHas;
        for (const std::shared_ptr<RegKey>& pChild : users.vpSubkeys)
            sHas += (sHas.empty() ? "" : ", ") + ForTerminal(pChild->sName);
        *psError =
            "--user " + sUser + ": " +
            (users.vpSubkeys.empty() ? std::string("no input gives HKEY_USERS")
                                     : "HKEY_USERS has no such subkey (it has " + sHas + ")");
        return false;
    }
    pUser->eSource = CurrentUser::FromUsers;
    pUser->sUsersKey = (*ppUser)->sName;
    pUser->fNamed = !sUser.empty();
    CopyInto(**ppUser, *registry.apRoots[RootCurrentUser], CurrentFileTime());
    return true;
}

void ReturnCurrentUser(const CurrentUser& user, Registry& registry)
{
    if (user.eSource != CurrentUser::FromUsers)
        return;
    RegKey& current = *registry.apRoots[RootCurrentUser];
    const std::shared_ptr<RegKey>* ppUser = FindChild(*registry.apRoots[RootUsers], user.sUsersKey);
    if (ppUser)
    {
        Clear(**ppUser);
        CopyInto(current, **ppUser, CurrentFileTime());
    }
    Clear(current);
}

std::string DescribeCurrentUser(const CurrentUser& user)
{
    switch (user.eSource)
    {
    case CurrentUser::FromInput:
        return "HKEY_CURRENT_USER from " + user.sFile;
    case CurrentUser::FromUsers:
        return "HKEY_CURRENT_USER is HKEY_USERS\\" + ForTerminal(user.sUsersKey) +
               (user.fNamed ? " (named with --user)"
                            : " (no input gives HKEY_CURRENT_USER; another user of HKEY_USERS "
                              "with --user NAME)");
    case CurrentUser::None:
        break;
    }
    return "none: no input gives HKEY_CURRENT_USER or HKEY_USERS\\.DEFAULT, so the run sees an "
           "empty current user";
}

} // namespace preview
