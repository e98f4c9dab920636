#include "launch.h"

#include "built_sources.h"
#include "known_sources.h"
#include "report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

// The executable beside this one that measures source name.
std::string beside_me(const char *argv0, const char *name)
{
    const std::string self = own_path();
    std::filesystem::path found(self.empty() ? argv0 : self);
    found.replace_filename("rand_lab-" + std::string(name) + found.extension().string());
    return found.string();
}

bool built_here(const char *name)
{
    return std::any_of(kBuiltSources.begin(), kBuiltSources.end(),
                       [name](const char *built) { return std::strcmp(built, name) == 0; });
}

// What the configure said when it skipped source name, or nullptr.
const char *why_skipped(const char *name)
{
    for (const SkippedSource &skipped : kSkippedSources) {
        if (std::strcmp(skipped.name, name) == 0) {
            return skipped.why;
        }
    }
    return nullptr;
}

// The one line for a source this build did not make: what to install where
// a package makes it, and the configure's own reason.
void refuse_unbuilt(const char *name)
{
    const KnownSource *known = known_source(name);
    const char *why = why_skipped(name);
    const std::string said =
        why != nullptr ? std::string(" (the configure skipped it: ") + why + ")" : std::string();
    if (known->package != nullptr) {
        usage_error("source %s is not built here: install %s (tools/install-deps does) and build "
                    "again%s",
                    name, known->package, said.c_str());
    } else {
        usage_error("source %s is not built here: it needs %s%s", name, known->needs, said.c_str());
    }
}

} // namespace

int launch_source(const char *name, int argc, char **argv)
{
    // An executable of a source this configure skipped may still stand
    // beside this one from an earlier build: never run it.
    if (!built_here(name)) {
        refuse_unbuilt(name);
        return 2;
    }
    const std::string path = beside_me(argv[0], name);
    fflush(stdout);
    pass_to_source(kBuiltSourcesVariable, kBuiltSourcesText);
    const int status = run_instead(path, argc, argv);
    if (status >= 0) {
        return status;
    }
    if (errno == ENOENT) {
        usage_error("source %s is built here, but its executable \"%s\" is missing: build again",
                    name, path.c_str());
    } else {
        usage_error("cannot run \"%s\": %s", path.c_str(),
                    strerror(errno)); // NOLINT(concurrency-mt-unsafe)
    }
    return 2;
}
