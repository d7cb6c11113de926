// The peer of `qern check` in bench/cli_bench.py: a plain merge_file of each file named,
// as the library runs it for its callers, in a process of its own like qern's.
#include <cstdio>

#include "commands/builtins.hpp"

int main(int argc, char** argv) {
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        qern::QernDocument doc = qern::new_document();
        if (auto merged = doc.merge_file(argv[i]); !merged) {
            std::fprintf(stderr, "%s: %s\n", argv[i], merged.error().display().c_str());
            status = 1;
        }
    }
    return status;
}
