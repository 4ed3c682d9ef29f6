#include <cstdio>
#include <string>

bool MoveOver(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()) == 0; }
