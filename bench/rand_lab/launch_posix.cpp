#include "launch.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

std::string own_path()
{
    std::error_code ignored;
    return std::filesystem::read_symlink("/proc/self/exe", ignored).string();
}

void pass_to_source(const char *name, const char *value)
{
    setenv(name, value, 1); // NOLINT(concurrency-mt-unsafe): no thread runs yet
}

// exec: the source's executable takes this process's place, and its status
// is this one's.
int run_instead(const std::string &path, int /*argc*/, char **argv)
{
    execv(path.c_str(), argv);
    return -1;
}
