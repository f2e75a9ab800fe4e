/* Starts a program under Wine with an exact command line and environment.
 *
 * Wine's own loader quotes every argument it is given, so a command line with
 * blanks inside cannot reach a program unchanged through "wine prog.exe text".
 * This launcher reads a plan file and calls CreateProcessA with the command
 * line exactly as written there. Plan lines (LF or CR LF):
 *
 *   set NAME=VALUE    set a variable in the program's environment
 *   unset NAME        remove a variable from it
 *   cmd TEXT          the whole command line, program path first
 *   cmdfile PATH      the whole command line is the content of this file, byte
 *                     for byte (for text with line breaks in it)
 *
 * Each cmd or cmdfile line is one run. Several runs are started one right
 * after the other, before the launcher waits for any, so that they run at
 * the same moment. The launcher exits with the first run's exit code that is
 * not 0 (else 0); 125 means the plan could not be read or a run not started.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char* ReadWholeFile(const char* pszPath)
{
    FILE* pFile = fopen(pszPath, "rb");
    if (pFile == NULL)
        return NULL;
    size_t cbUsed = 0;
    size_t cbSize = 4096;
    char* pbData = malloc(cbSize + 1);
    while (pbData != NULL)
    {
        size_t cbRead = fread(pbData + cbUsed, 1, cbSize - cbUsed, pFile);
        cbUsed += cbRead;
        if (cbUsed < cbSize)
            break;
        cbSize *= 2;
        char* pbGrown = realloc(pbData, cbSize + 1);
        if (pbGrown == NULL)
            free(pbData);
        pbData = pbGrown;
    }
    fclose(pFile);
    if (pbData != NULL)
        pbData[cbUsed] = '\0';
    return pbData;
}

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        fprintf(stderr, "usage: scenario-launch PLAN-FILE\n");
        return 125;
    }
    char* pszPlan = ReadWholeFile(argv[1]);
    if (pszPlan == NULL)
    {
        fprintf(stderr, "scenario-launch: cannot read %s\n", argv[1]);
        return 125;
    }

    enum
    {
        kMaxRuns = 4
    };
    char* apszCmdLines[kMaxRuns];
    int nRuns = 0;
    char* pszLine = pszPlan;
    while (*pszLine != '\0')
    {
        char* pszEnd = strchr(pszLine, '\n');
        char* pszNext = pszEnd != NULL ? pszEnd + 1 : pszLine + strlen(pszLine);
        if (pszEnd != NULL)
        {
            *pszEnd = '\0';
            if (pszEnd > pszLine && pszEnd[-1] == '\r')
                pszEnd[-1] = '\0';
        }
        int fCmd = strncmp(pszLine, "cmd ", 4) == 0;
        int fCmdFile = strncmp(pszLine, "cmdfile ", 8) == 0;
        if ((fCmd || fCmdFile) && nRuns == kMaxRuns)
        {
            fprintf(stderr, "scenario-launch: more than %d runs\n", kMaxRuns);
            return 125;
        }
        if (fCmd)
        {
            apszCmdLines[nRuns++] = pszLine + 4;
        }
        else if (fCmdFile)
        {
            apszCmdLines[nRuns] = ReadWholeFile(pszLine + 8);
            if (apszCmdLines[nRuns] == NULL)
            {
                fprintf(stderr, "scenario-launch: cannot read %s\n", pszLine + 8);
                return 125;
            }
            ++nRuns;
        }
        else if (strncmp(pszLine, "set ", 4) == 0)
        {
            char* pszEquals = strchr(pszLine + 4, '=');
            if (pszEquals == NULL)
            {
                fprintf(stderr, "scenario-launch: bad line: %s\n", pszLine);
                return 125;
            }
            *pszEquals = '\0';
            SetEnvironmentVariableA(pszLine + 4, pszEquals + 1);
        }
        else if (strncmp(pszLine, "unset ", 6) == 0)
        {
            SetEnvironmentVariableA(pszLine + 6, NULL);
        }
        else if (*pszLine != '\0')
        {
            fprintf(stderr, "scenario-launch: bad line: %s\n", pszLine);
            return 125;
        }
        pszLine = pszNext;
    }
    if (nRuns == 0)
    {
        fprintf(stderr, "scenario-launch: no cmd line in %s\n", argv[1]);
        return 125;
    }

    HANDLE ahProcesses[kMaxRuns];
    for (int iRun = 0; iRun < nRuns; ++iRun)
    {
        STARTUPINFOA tStartup;
        PROCESS_INFORMATION tProcess;
        memset(&tStartup, 0, sizeof(tStartup));
        tStartup.cb = sizeof(tStartup);
        memset(&tProcess, 0, sizeof(tProcess));
        if (!CreateProcessA(NULL, apszCmdLines[iRun], NULL, NULL, FALSE, 0, NULL, NULL, &tStartup,
                            &tProcess))
        {
            fprintf(stderr, "scenario-launch: CreateProcessA failed (%lu): %s\n",
                    (unsigned long)GetLastError(), apszCmdLines[iRun]);
            return 125;
        }
        CloseHandle(tProcess.hThread);
        ahProcesses[iRun] = tProcess.hProcess;
    }
    WaitForMultipleObjects((DWORD)nRuns, ahProcesses, TRUE, INFINITE);
    int nExitCode = 0;
    for (int iRun = 0; iRun < nRuns; ++iRun)
    {
        DWORD dwExitCode = 125;
        GetExitCodeProcess(ahProcesses[iRun], &dwExitCode);
        if (nExitCode == 0)
        {
            nExitCode = (int)dwExitCode;
        }
        CloseHandle(ahProcesses[iRun]);
    }
    free(pszPlan);
    return nExitCode;
}
