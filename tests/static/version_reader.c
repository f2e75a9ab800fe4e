/* Reads a file's version resource through version.dll, as Explorer and the
 * installers that compare versions do, and compares it with what is expected:
 *
 *     version_reader FILE A.B.C.D NAME=VALUE...
 *
 * The string table is the one the first Translation entry names, and the
 * strings come back through the ANSI entry points, converted from the
 * resource's Unicode text. Exit status 0 when everything matches, 1 when not. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv)
{
    if (argc < 3)
    {
        printf("usage: version_reader FILE A.B.C.D NAME=VALUE...\n");
        return 2;
    }
    DWORD dwHandle = 0;
    DWORD dwSize = GetFileVersionInfoSizeA(argv[1], &dwHandle);
    if (dwSize == 0)
    {
        printf("FAILED: GetFileVersionInfoSizeA: error %lu\n", GetLastError());
        return 1;
    }
    char* pBuffer = (char*)malloc(dwSize);
    if (pBuffer == NULL || !GetFileVersionInfoA(argv[1], dwHandle, dwSize, pBuffer))
    {
        printf("FAILED: GetFileVersionInfoA: error %lu\n", GetLastError());
        return 1;
    }

    int nFailures = 0;
    VS_FIXEDFILEINFO* pFixed = NULL;
    UINT uLength = 0;
    char szVersion[64] = "";
    if (VerQueryValueA(pBuffer, "\\", (void**)&pFixed, &uLength) && uLength >= sizeof(*pFixed))
        sprintf(szVersion, "%lu.%lu.%lu.%lu", pFixed->dwFileVersionMS >> 16,
                pFixed->dwFileVersionMS & 0xFFFF, pFixed->dwFileVersionLS >> 16,
                pFixed->dwFileVersionLS & 0xFFFF);
    printf("FILEVERSION %s\n", szVersion);
    if (strcmp(szVersion, argv[2]) != 0)
    {
        printf("FAILED: FILEVERSION %s, expected %s\n", szVersion, argv[2]);
        nFailures++;
    }

    WORD* pTranslation = NULL;
    if (!VerQueryValueA(pBuffer, "\\VarFileInfo\\Translation", (void**)&pTranslation, &uLength) ||
        uLength < 4)
    {
        printf("FAILED: no Translation entry\n");
        return 1;
    }
    char szTable[64];
    sprintf(szTable, "\\StringFileInfo\\%04X%04X\\", pTranslation[0], pTranslation[1]);
    printf("table %s\n", szTable);

    for (int i = 3; i < argc; i++)
    {
        const char* pszEquals = strchr(argv[i], '=');
        if (pszEquals == NULL)
            return 2;
        char szQuery[256];
        snprintf(szQuery, sizeof(szQuery), "%s%.*s", szTable, (int)(pszEquals - argv[i]), argv[i]);
        const char* pszValue = NULL;
        if (!VerQueryValueA(pBuffer, szQuery, (void**)&pszValue, &uLength) || pszValue == NULL)
        {
            printf("FAILED: %s not found\n", szQuery);
            nFailures++;
            continue;
        }
        printf("%s = %s\n", szQuery, pszValue);
        if (strcmp(pszValue, pszEquals + 1) != 0)
        {
            printf("FAILED: %s is \"%s\", expected \"%s\"\n", szQuery, pszValue, pszEquals + 1);
            nFailures++;
        }
    }
    free(pBuffer);
    return nFailures == 0 ? 0 : 1;
}
