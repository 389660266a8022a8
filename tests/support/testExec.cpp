#include "support/testExec.h"

#include <cstdlib>
#include <sstream>
#include <unistd.h>

void testExecChild(const std::vector<std::string>& args) {
    std::vector<std::string> words;
    if (const char* wrapper = getenv("LUCSP_TEST_CHILD_WRAPPER")) {
        std::istringstream in(wrapper);
        for (std::string w; in >> w;)
            words.push_back(w);
    }
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    if (argv[0]) execvp(argv[0], argv.data());
    _exit(127);
}

int testTimeScale() {
    const char* text = getenv("LUCSP_TEST_TIME_SCALE");
    int scale = text ? atoi(text) : 0;
    return scale > 0 ? scale : 1;
}
