// The user's home folder and the XDG base directories, by one rule for
// every program of the package.
#pragma once

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace tavrin {

// Reads an environment variable (std::getenv, or a table in tests).
using GetEnv = std::function<const char*(const char*)>;

// $HOME when it is an absolute path, else the home in the password database
// for the real user, else "" (never "" + "/.local/share", which is
// /.local/share).
std::string homeDirectory(const GetEnv& getenv = ::getenv);

// An XDG base directory variable ($XDG_DATA_HOME, ...): its value when it is
// an absolute path, else <home>/<homeRelative> ("" without a home).
std::string xdgHome(const char* variable, const char* homeRelative, const GetEnv& getenv = ::getenv);

// An XDG directory list ($XDG_DATA_DIRS, $XDG_CONFIG_DIRS): its absolute
// entries in order, or `fallback` (colon-separated) when it has none.
std::vector<std::string> xdgDirs(const char* variable, const char* fallback, const GetEnv& getenv = ::getenv);

}  // namespace tavrin
