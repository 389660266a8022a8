#pragma once

#include <string>

// A private, temporary data root (LUCSP_ROOT) for one test; removed again afterwards.
class TTestRoot {
  public:
    TTestRoot();
    ~TTestRoot();
    TTestRoot(const TTestRoot&) = delete;
    TTestRoot& operator=(const TTestRoot&) = delete;

    const std::string& Path() const { return Root; }

  private:
    std::string Root;
    std::string Previous;
    bool HadPrevious;
};

std::string ReadWholeFile(const std::string& path);
