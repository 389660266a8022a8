#pragma once

#include "platform/platDebug.h"

#include <string>

// The process trace log (gPlatDebug) pointed at a private file with every level on, for the life of
// the object; the previous log comes back afterwards.
class TTestTrace {
  public:
    explicit TTestTrace(const std::string& dir, int headInfo = 0);
    ~TTestTrace();
    TTestTrace(const TTestTrace&) = delete;
    TTestTrace& operator=(const TTestTrace&) = delete;

    std::string Text() const;
    const std::string& Path() const { return FilePath; }

    TPlatDebug Log;

  private:
    TPlatDebug* Saved;
    std::string FilePath;
};
