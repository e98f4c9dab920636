#include "launch.h"

#include "known_sources.h"
#include "report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

// The executable beside this one that measures source name.
std::string beside_me(const char *argv0, const char *name)
{
    const std::string self = own_path();
    std::filesystem::path found(self.empty() ? argv0 : self);
    found.replace_filename("rand_lab-" + std::string(name) + found.extension().string());
    return found.string();
}

} // namespace

int launch_source(const char *name, int argc, char **argv)
{
    const std::string path = beside_me(argv[0], name);
    fflush(stdout);
    const int status = run_instead(path, argc, argv);
    if (status >= 0) {
        return status;
    }
    const KnownSource *known = known_source(name);
    if (errno == ENOENT && known->package != nullptr) {
        usage_error("source %s is not built here: install %s (tools/install-deps does) and build "
                    "again",
                    name, known->package);
    } else if (errno == ENOENT) {
        usage_error("source %s is not built here: it needs %s", name, known->needs);
    } else {
        usage_error("cannot run \"%s\": %s", path.c_str(),
                    strerror(errno)); // NOLINT(concurrency-mt-unsafe)
    }
    return 2;
}
