#include "launch.h"

#include "platform.h"

#include <process.h>

#include <cstdlib>
#include <vector>

namespace {

// One argument as the C runtime's parser reads it back: quoted when it has
// blanks or quotes, backslashes doubled only before a quote.
std::string quoted(const std::string &argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
        return argument;
    }
    std::string out = "\"";
    size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, '\\');
    return out + "\"";
}

} // namespace

std::string own_path()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
}

void pass_to_source(const char *name, const char *value)
{
    _putenv_s(name, value);
}

// Windows has no exec that keeps the process: the source's executable runs
// as a child, waited for, and its status is returned.
int run_instead(const std::string &path, int argc, char **argv)
{
    std::vector<std::string> held;
    std::vector<const char *> pointers;
    held.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; i++) {
        held.push_back(quoted(argv[i]));
        pointers.push_back(held.back().c_str());
    }
    pointers.push_back(nullptr);
    const intptr_t status = _spawnv(_P_WAIT, path.c_str(), pointers.data());
    return status >= 0 ? static_cast<int>(status) : -1;
}
