// Writes a generated machine: morix_genmachine win98 N K FILE.reg
//                            morix_genmachine winxp MEGABYTES FILE.reg
#include "machine_generator.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    std::string sText;
    const char* pszOut = nullptr;
    if (argc == 5 && strcmp(argv[1], "win98") == 0)
    {
        sText = bench::Win98Machine(strtoul(argv[2], nullptr, 10), strtoul(argv[3], nullptr, 10));
        pszOut = argv[4];
    }
    else if (argc == 4 && strcmp(argv[1], "winxp") == 0)
    {
        sText = bench::XpExportUtf16(strtoul(argv[2], nullptr, 10) * 1000000);
        pszOut = argv[3];
    }
    else
    {
        fprintf(stderr, "usage: morix_genmachine win98 N K FILE.reg | winxp MEGABYTES FILE.reg\n");
        return 2;
    }
    FILE* pFile = fopen(pszOut, "wb");
    if (!pFile || fwrite(sText.data(), 1, sText.size(), pFile) != sText.size() || fclose(pFile))
    {
        perror(pszOut);
        return 1;
    }
    return 0;
}
