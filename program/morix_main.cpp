// The entry of the Morix: checks the argument text, refuses to act on a
// status code, runs the install or the uninstall and writes the closing
// lines. The exit code is always 0; the log tells what happened.
#include <windows.h>

#include <cstdlib>

#include "morix_install.h"
#include "morix_uninstall.h"
#include "qvzvesk/qvzvesk_log.h"
#include "qvzvesk/qvzvesk_names.h"
#include "qvzvesk/qvzvesk_utils.h"

static const char s_szSourcePath[] = "..\\morix_main.cpp";

CLogFile g_LogFile;

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpszCmdLine, int nCmdShow)
{
    (void)hInstance;
    (void)hPrevInstance;
    (void)nCmdShow;

    CQvCiString sCmdLine;
    CQvCiString sDriverName;
    bool fSucceeded = false;

    g_LogFile.Open("qvzmorix.log", 0, LOG_FLAG_NUMBERED);

    do
    {
        if (lpszCmdLine == 0)
        {
            REPORT_FAILURE("lpszCmdLine == 0");
            break;
        }
        if (*lpszCmdLine == '\0')
        {
            REPORT_FAILURE("*lpszCmdLine == '\\0'");
            break;
        }
        sCmdLine = lpszCmdLine;
        if (sCmdLine.empty())
        {
            REPORT_FAILURE("sCmdLine.empty()");
            break;
        }

        // The driver name is not known yet, so these tests consult only the
        // command line.
        const CQvCiString sNoDriverName;
        bool fStatusCodeSet = IsParameterSet(sCmdLine, sNoDriverName, g_sSwitchStatusCode);
        if (fStatusCodeSet)
        {
            g_LogFile.LogMessage(0, "Vesk passed a status code to the Morix");
            g_LogFile.LogMessage(0, "No recovery implemented -- exiting");
            REPORT_FAILURE("fStatusCodeSet == true");
            break;
        }

        bool fPrinterDriverSet = IsParameterSet(sCmdLine, sNoDriverName, g_sSwitchPrinterDriver);
        bool fProductSet = IsParameterSet(sCmdLine, sNoDriverName, g_sSwitchProduct);
        bool fPortSet = IsParameterSet(sCmdLine, sNoDriverName, g_sSwitchPort);
        bool fUninstall = IsParameterSet(sCmdLine, sNoDriverName, g_sSwitchUninstall);
        bool fInstall = fPrinterDriverSet && fProductSet && fPortSet;

        if ((fInstall == true) && (fUninstall == true))
        {
            REPORT_FAILURE("(fInstall == true) && (fUninstall == true)");
            break;
        }
        if ((fInstall == false) && (fUninstall == false))
        {
            REPORT_FAILURE("(fInstall == false) && (fUninstall == false)");
            break;
        }

        const CQvCiString& sSwitch = fInstall ? g_sSwitchPrinterDriver : g_sSwitchUninstall;
        if (FindCmdLineVar(sCmdLine, sSwitch, &sDriverName) == false)
        {
            REPORT_FAILURE(fInstall
                               ? "FindCmdLineVar( sCmdLine, g_sSwitchPrinterDriver, &sDriverName "
                                 ") == false"
                               : "FindCmdLineVar( sCmdLine, g_sSwitchUninstall, &sDriverName ) "
                                 "== false");
            break;
        }

        // The driver name becomes one component of registry paths that get
        // written and recursively deleted; a backslash in it would reach
        // another driver's keys.
        if (sDriverName.find('\\') != CQvCiString::npos)
        {
            REPORT_FAILURE("sDriverName.find( '\\\\' ) != CQvCiString::npos");
            break;
        }

        if (fInstall)
        {
            if (InstallHelper(sDriverName) == false)
            {
                REPORT_FAILURE("InstallHelper( sDriverName ) == false");
                break;
            }
        }
        else
        {
            if (UninstallHelper(sDriverName) == false)
            {
                REPORT_FAILURE("UninstallHelper( sDriverName ) == false");
                break;
            }
        }
        fSucceeded = true;
    } while (false);

    const char* pszPathname = (__argc > 0 && __argv != 0 && __argv[0] != 0) ? __argv[0] : "";
    g_LogFile.LogMessage(0, "Morix Pathname = %s", pszPathname);
    g_LogFile.LogMessage(0, "Command Line = %s", sCmdLine.empty() ? "NULL" : sCmdLine.c_str());
    g_LogFile.LogMessage(0, "Driver Name = %s", sDriverName.empty() ? "NULL" : sDriverName.c_str());
    g_LogFile.LogMessage(0, fSucceeded ? "The Morix Succeeded" : "The Morix Failed");
    return 0;
}
