// Hands a run to another source's executable, rand_lab-NAME beside this
// one, which checks the arguments again and measures. The part that starts
// it is defined by launch_posix.cpp or launch_windows.cpp.
#ifndef RAND_LAB_LAUNCH_H
#define RAND_LAB_LAUNCH_H

#include <string>

// Runs source name's executable with these same arguments and returns its
// status; or returns 2, having said why, when it is not built here or
// cannot be run.
int launch_source(const char *name, int argc, char **argv);

// This executable's own path, or "" where it cannot be told.
std::string own_path();

// Sets the environment variable name to value for the executable run_instead
// runs.
void pass_to_source(const char *name, const char *value);

// Runs the executable at path with argv (argc of them, argv[0] included) in
// place of this process, or else until it ends. Returns its status, or -1
// with errno saying why it could not be run.
int run_instead(const std::string &path, int argc, char **argv);

#endif
