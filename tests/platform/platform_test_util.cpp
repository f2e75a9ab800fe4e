#include "platform_test_util.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace platform_test
{

TempFolder::TempFolder()
{
    std::string sTemplate =
        (std::filesystem::temp_directory_path() / "winsim-test-XXXXXX").string();
    std::vector<char> vch(sTemplate.begin(), sTemplate.end());
    vch.push_back('\0');
    if (mkdtemp(vch.data()))
        m_sPath = vch.data();
}

TempFolder::~TempFolder()
{
    std::error_code ec;
    if (!m_sPath.empty())
        std::filesystem::remove_all(m_sPath, ec);
}

std::string ReadFileBytes(const std::string& sPath)
{
    std::ifstream file(sPath, std::ios::binary);
    std::stringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

void WriteFileBytes(const std::string& sPath, const std::string& sBytes)
{
    std::ofstream file(sPath, std::ios::binary | std::ios::trunc);
    file << sBytes;
}

bool PathExists(const std::string& sPath)
{
    std::error_code ec;
    return std::filesystem::exists(sPath, ec);
}

} // namespace platform_test
