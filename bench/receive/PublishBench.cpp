// Publishes one file the way the select tile does and prints how long the
// publication took, for comparison with a plain cp of the same file.

#include "app/core/Publisher.h"
#include "util/MiscFuncUnit.h"

#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: publish_bench <file> <empty work folder>\n");
        return 2;
    }
    const std::string work = misc::IncludeTrailingDelimiter(argv[2]);
    misc::EnsureFolder(work + "dfiles/");
    appcore::TPublisher publisher(work + "dfiles/", work + "filelist-bench.html");

    const auto start = std::chrono::steady_clock::now();
    const int n = publisher.PublishSelectedFiles({argv[1]});
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (n != 1) {
        std::fprintf(stderr, "publication failed\n");
        return 1;
    }
    std::printf("%.3f\n", took.count());
    // Leaves the copy for the script to remove, so its deletion is not timed.
    return 0;
}
