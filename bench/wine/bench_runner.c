/* Runs programs one after another inside one Wine process and times each from
 * CreateProcessA to its exit, so that every run meets the same warm wineserver
 * and no Unix-side start-up of Wine is counted. Plan lines (LF or CR LF):
 *
 *   run TEXT            start this command line and wait, untimed
 *   delete PATH         delete a file (%VARIABLES% expanded), untimed
 *   time LABEL TEXT     start this command line, wait, and print
 *                       "LABEL MICROSECONDS EXITCODE"
 *
 * Exits with 0, or 125 when the plan cannot be read or a program not started.
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
    fseek(pFile, 0, SEEK_END);
    long cbSize = ftell(pFile);
    fseek(pFile, 0, SEEK_SET);
    char* pbData = cbSize >= 0 ? malloc((size_t)cbSize + 1) : NULL;
    if (pbData != NULL)
        pbData[fread(pbData, 1, (size_t)cbSize, pFile)] = '\0';
    fclose(pFile);
    return pbData;
}

static BOOL RunAndWait(char* pszCmdLine, DWORD* pdwExitCode)
{
    STARTUPINFOA tStartup;
    PROCESS_INFORMATION tProcess;
    memset(&tStartup, 0, sizeof(tStartup));
    tStartup.cb = sizeof(tStartup);
    if (!CreateProcessA(NULL, pszCmdLine, NULL, NULL, FALSE, 0, NULL, NULL, &tStartup, &tProcess))
    {
        fprintf(stderr, "bench-runner: CreateProcessA failed (%lu): %s\n",
                (unsigned long)GetLastError(), pszCmdLine);
        return FALSE;
    }
    WaitForSingleObject(tProcess.hProcess, INFINITE);
    GetExitCodeProcess(tProcess.hProcess, pdwExitCode);
    CloseHandle(tProcess.hThread);
    CloseHandle(tProcess.hProcess);
    return TRUE;
}

int main(int argc, char** argv)
{
    char* pszPlan = argc == 2 ? ReadWholeFile(argv[1]) : NULL;
    if (pszPlan == NULL)
    {
        fprintf(stderr, "usage: bench-runner PLAN-FILE (a readable one)\n");
        return 125;
    }
    LARGE_INTEGER liFrequency;
    QueryPerformanceFrequency(&liFrequency);
    for (char* pszLine = strtok(pszPlan, "\r\n"); pszLine != NULL; pszLine = strtok(NULL, "\r\n"))
    {
        DWORD dwExitCode = 125;
        if (strncmp(pszLine, "run ", 4) == 0)
        {
            if (!RunAndWait(pszLine + 4, &dwExitCode))
                return 125;
        }
        else if (strncmp(pszLine, "delete ", 7) == 0)
        {
            char szPath[MAX_PATH];
            if (ExpandEnvironmentStringsA(pszLine + 7, szPath, sizeof(szPath)) != 0)
                DeleteFileA(szPath);
        }
        else if (strncmp(pszLine, "time ", 5) == 0 && strchr(pszLine + 5, ' ') != NULL)
        {
            char* pszCmdLine = strchr(pszLine + 5, ' ');
            *pszCmdLine++ = '\0';
            LARGE_INTEGER liStart, liEnd;
            QueryPerformanceCounter(&liStart);
            if (!RunAndWait(pszCmdLine, &dwExitCode))
                return 125;
            QueryPerformanceCounter(&liEnd);
            printf("%s %.0f %lu\n", pszLine + 5,
                   (double)(liEnd.QuadPart - liStart.QuadPart) * 1e6 / (double)liFrequency.QuadPart,
                   (unsigned long)dwExitCode);
            fflush(stdout);
        }
        else
        {
            fprintf(stderr, "bench-runner: bad line: %s\n", pszLine);
            return 125;
        }
    }
    free(pszPlan);
    return 0;
}
