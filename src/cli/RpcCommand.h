#pragma once

#include <cstdio>
#include <string>

namespace velbrook::cli {

// Reads a user name and a password, a line each, from `in`, and stores the name and a hash of
// the password in the profile's Velbrook.xml. Returns the exit code.
int RunSetRpcPassword(const std::string& profileOption, std::FILE* in, std::FILE* out,
                      std::FILE* err);

}  // namespace velbrook::cli
