#include "support/testRoot.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

TTestRoot::TTestRoot() : HadPrevious(false) {
    const char* prev = getenv("LUCSP_ROOT");
    if (prev) {
        HadPrevious = true;
        Previous = prev;
    }
    std::string tmpl = (std::filesystem::temp_directory_path() / "lucsp-test-XXXXXX").string();
    if (!mkdtemp(&tmpl[0])) throw std::runtime_error("mkdtemp failed");
    Root = tmpl;
    setenv("LUCSP_ROOT", Root.c_str(), 1);
}

TTestRoot::~TTestRoot() {
    std::error_code ec;
    std::filesystem::remove_all(Root, ec);
    if (HadPrevious)
        setenv("LUCSP_ROOT", Previous.c_str(), 1);
    else
        unsetenv("LUCSP_ROOT");
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}
